// The log file of this VQ_ROOT, decoded to UTF-8.
#pragma once

#include <string>

namespace vqtest {

std::string ReadLogText();

}  // namespace vqtest
