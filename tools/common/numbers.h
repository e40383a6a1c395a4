// Numbers given on a tool's command line, read the same way by every tool:
// decimal only ("075" is seventy-five, never octal; no hexadecimal) and the
// whole text must be the number. Fractions may have an exponent ("1e3"); NaN
// and infinities are refused. Each returns false, leaving value alone, when
// the text is not such a number; the caller words the message.
#pragma once

#include <cstdint>
#include <string>

bool parse_decimal(const std::string& text, int64_t& value);
bool parse_decimal(const std::string& text, double& value);
