// UTF-8 for messages and command lines; invalid sequences become U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace runtime {

std::u16string FromUtf8(std::string_view text);
std::string ToUtf8(std::u16string_view text);

}  // namespace runtime
