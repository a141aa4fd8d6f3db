// Joining the parts of a text in one allocation: one call instead of a
// chain of temporaries at every place a log or journal line is built (the
// stub stays small).
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace upkit {

// The parts joined into one text.
std::string JoinText(std::initializer_list<std::string_view> parts);

}  // namespace upkit
