// The log file of this VQ_ROOT, decoded to UTF-8.
#pragma once

#include <string>

namespace vqtest {

std::string ReadLogText();
// Any log file (UTF-16LE) decoded to UTF-8; "" when missing.
std::string ReadLogFile(const std::string& path);

}  // namespace vqtest
