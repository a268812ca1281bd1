#include "Wendle/wendle_texts.h"

#include "support/ui_language.h"

namespace {

struct Pair {
  const char* english;
  const char* chinese;  // null: English only
};

constexpr Pair kTexts[] = {
    {"USB key is not available", "无法找到USB key"},
    {"Message", "错误"},
    {"Download the client failed", "下载客户端失败"},
    {"The control hasn't been initialized", nullptr},
    {"Invalid parameters", "参数错误"},
    {"Can't find Marrowlantern home directory", "无法找到Marrowlantern主目录"},
    {"CreateProcess failed ......\n", "创建进程失败......\n"},
    {"CreateProcess failed (%d).\n", "创建进程失败(%d).\n"},
    {"Memory allocate error\n", nullptr},
    {"Error", nullptr},
    {"USB Key PIN", "USB Key口令"},
    {"Please input USB key PIN:", "请输入USB key口令："},
    {"OK", "确定"},
    {"Cancel", "取消"},
    {"USB key PIN is incorrect", "USB key口令不正确"},
    {"Error", "错误"},
};

}  // namespace

const char* WendleTextFor(WendleText id, uint16_t language) {
  const Pair& p = kTexts[static_cast<int>(id)];
  return language == LANGID_CHINESE_PRC && p.chinese ? p.chinese : p.english;
}

const char* Text(WendleText id) { return WendleTextFor(id, GetUILanguage()); }
