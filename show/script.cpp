#include "show/script.h"

#include <charconv>
#include <cstring>

namespace {

// Rows come in increasing bars from 0 to the last rendered one, so they
// always fit the table.
static_assert(ShowLastRenderedBar + 1 <= ShowMaxRows);

constexpr int32_t MaxLines = 1000;   // the score's own limit: later lines are not read at all
constexpr size_t QuoteLimit = 120;

// The text's lines as the music parser cuts them: a UTF-8 byte order mark
// skipped, carriage returns ending lines only in a text without line feeds
// and blanks otherwise, spaces removed, empty lines not counted.
struct Line {
    int32_t number;
    std::string text;
};

std::vector<Line> score_lines(const std::string& original)
{
    std::string text = original.compare(0, 3, "\xEF\xBB\xBF") == 0 ? original.substr(3) : original;
    const char end = text.find('\n') == std::string::npos ? '\r' : '\n';
    std::vector<Line> lines;
    Line line{1, ""};
    auto finish = [&] {
        if (!line.text.empty() && int32_t(lines.size()) < MaxLines)
            lines.push_back(line);
        line = {line.number + 1, ""};
    };
    for (char c : text) {
        if (c == end)
            finish();
        else if (c != ' ' && c != '\r')
            line.text += c;
    }
    finish();
    return lines;
}

// The fields after a show line's head: commas separate, and several in a
// row count as one, as in the rest of the score.
std::vector<std::string> fields_of(const std::string& body)
{
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < body.size()) {
        size_t comma = body.find(',', at);
        if (comma == std::string::npos)
            comma = body.size();
        if (comma > at)
            fields.push_back(body.substr(at, comma - at));
        at = comma + 1;
    }
    return fields;
}

// A whole field as a decimal integer, sign allowed.
bool whole_number(const std::string& field, int64_t& value)
{
    const char* begin = field.data() + (field.size() > 1 && field[0] == '+' ? 1 : 0);
    const char* end = field.data() + field.size();
    auto [stop, code] = std::from_chars(begin, end, value);
    return !field.empty() && code == std::errc() && stop == end;
}

std::string cut(const std::string& text)
{
    return text.size() > QuoteLimit ? text.substr(0, QuoteLimit) + "..." : text;
}

// A message from pieces of text and numbers.
std::string piece(const std::string& text) { return text; }
std::string piece(const char* text) { return text; }
std::string piece(int64_t number) { return std::to_string(number); }
template <typename... Parts>
std::string words(const Parts&... parts)
{
    std::string text;
    ((text += piece(parts)), ...);
    return text;
}

struct Reader {
    ShowScriptState& script;
    std::vector<ShowFinding>* findings;
    Line line;
    bool rejected = false;
    bool rowsGiven = false;
    int32_t endLine = 0;       // the line that set the end bar, 0: built in
    int32_t lastRowLine = 0;   // the line of the last row given

    void say(const std::string& message, bool rejection)
    {
        rejected |= rejection;
        if (findings)
            findings->push_back({line.number, cut(line.text), message, rejection});
    }

    // A bar number field, from `low` to the last rendered bar.
    bool bar(const std::string& field, int32_t low, int32_t& value)
    {
        int64_t n = 0;
        if (!whole_number(field, n)) {
            say(words("\"", cut(field), "\" is not a bar number"), true);
            return false;
        }
        if (n < low || n > ShowLastRenderedBar) {
            say(words("bar ", field, " is outside ", low, "..", ShowLastRenderedBar, " (the music is rendered up to bar ",
                      ShowLastRenderedBar, ")"),
                true);
            return false;
        }
        value = int32_t(n);
        return true;
    }

    void row(const std::vector<std::string>& fields)
    {
        if (fields.size() != 10) {
            say(words("a row is its first bar and eight targets (show: row, BAR, t1, ..., t8); ",
                      int64_t(fields.size()) - 1, " numbers given"),
                true);
            return;
        }
        if (!rowsGiven)
            script.rows = 0;
        rowsGiven = true;
        int32_t first = 0;
        if (!bar(fields[1], 0, first))
            return;
        if (script.rows > 0 && first <= script.keyframes[script.rows - 1].firstBar) {
            say(words("bar ", first, " does not come after the previous row's bar ",
                      script.keyframes[script.rows - 1].firstBar),
                true);
            return;
        }
        ShowKeyframe keyframe{int8_t(first), {}};
        for (size_t k = 0; k < 8; ++k) {
            int64_t t = 0;
            if (!whole_number(fields[k + 2], t) || t < -128 || t > 127) {
                say(words("target t", int64_t(k) + 1, " \"", cut(fields[k + 2]), "\" is not a number from -128 to 127"),
                    true);
                return;
            }
            keyframe.targets[k] = int8_t(t);
        }
        if (script.rows == 0 && first > 0)
            say(words("the first row also applies before its bar ", first, ", from bar 0"), false);
        script.keyframes[script.rows++] = keyframe;
        lastRowLine = line.number;
    }

    void single_bar(const std::vector<std::string>& fields, int32_t low, int32_t& value)
    {
        if (fields.size() != 2) {
            say(words("show: ", fields[0], " takes one bar number"), true);
            return;
        }
        bar(fields[1], low, value);
    }

    void read(const Line& at)
    {
        line = at;
        std::string text = at.text;
        if (text[0] == '#')
            return;
        const size_t skip = text.find_first_not_of(':');
        if (skip == std::string::npos)
            return;
        const size_t colon = text.find(':', skip);
        if (colon == std::string::npos || text.compare(skip, colon - skip, "show") != 0)
            return;
        const std::vector<std::string> fields = fields_of(text.substr(colon + 1));
        if (fields.empty()) {
            say("an empty show line (row, cross, level or end)", true);
            return;
        }
        if (fields[0] == "row") {
            row(fields);
        } else if (fields[0] == "end") {
            single_bar(fields, 1, script.endBar);
            endLine = at.number;
            script.endGiven = true;
        } else if (fields[0] == "cross") {
            single_bar(fields, -1, script.lastCrossBar);
        } else if (fields[0] == "level") {
            single_bar(fields, -1, script.lastLevelBar);
        } else {
            say(words("\"", cut(fields[0]), "\" is not a show line (row, cross, level or end)"), true);
        }
    }

    // The end must leave the last row at least one bar.
    void check_end()
    {
        const int32_t lastRow = script.rows > 0 ? script.keyframes[script.rows - 1].firstBar : 0;
        if (script.endBar > lastRow)
            return;
        line = {endLine ? endLine : lastRowLine, ""};
        say(words("the show ends at bar ", script.endBar, ", not after its last row at bar ", lastRow), true);
    }
};

}   // namespace

int show_script_read(const std::string& text, ShowScriptState& script, std::vector<ShowFinding>* findings)
{
    script = ShowScriptState{};
    Reader reader{script, findings, {}};
    for (const Line& line : score_lines(text))
        reader.read(line);
    if (!reader.rejected)
        reader.check_end();
    if (reader.rejected && reader.rowsGiven && script.rows == 0)
        script = ShowScriptState{};   // never left without a row to glide to
    return reader.rejected ? -1 : 0;
}

std::string show_script_text(const ShowScriptState& script)
{
    std::string text = "# The show. Each row: from its bar on, the picture glides towards the targets\n"
                       "#   t1 t2 t3 spline tension, continuity, bias   t4 brightness\n"
                       "#   t5 camera distance   t6 tilt   t7 spin speed   t8 background (-128..127)\n";
    for (int32_t r = 0; r < script.rows; ++r) {
        const ShowKeyframe& row = script.keyframes[r];
        text += words("show: row, ", row.firstBar, ", ");
        for (int32_t k = 0; k < 8; ++k)
            text += words(row.targets[k], k == 7 ? "\n" : k % 4 == 3 ? ",  " : ",");
    }
    text += words("show: cross, ", script.lastCrossBar, "\n");
    text += words("show: level, ", script.lastLevelBar, "\n");
    text += words("show: end, ", script.endBar, "\n");
    return text;
}
