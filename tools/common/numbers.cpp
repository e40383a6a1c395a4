#include "tools/common/numbers.h"

#include <charconv>
#include <cmath>

namespace {

// from_chars reads decimal only and takes no "+"; a leading "+" is allowed
// here as people write it.
const char* skip_plus(const std::string& text)
{
    return text.size() > 1 && text[0] == '+' && text[1] != '-' ? text.data() + 1 : text.data();
}

}   // namespace

bool parse_decimal(const std::string& text, int64_t& value)
{
    int64_t read = 0;
    const char* end = text.data() + text.size();
    auto [stop, code] = std::from_chars(skip_plus(text), end, read);
    if (text.empty() || code != std::errc() || stop != end)
        return false;
    value = read;
    return true;
}

bool parse_decimal(const std::string& text, double& value)
{
    double read = 0;
    const char* end = text.data() + text.size();
    auto [stop, code] = std::from_chars(skip_plus(text), end, read, std::chars_format::general);
    if (text.empty() || code != std::errc() || stop != end || !std::isfinite(read))
        return false;
    value = read;
    return true;
}
