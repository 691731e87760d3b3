// The command line's option tables: the parser, --help and the manual page.
#include "cli_options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace cli {

namespace {

constexpr std::size_t kWidth = 79;
// Options whose left column is wider than this get their help on the next line.
constexpr std::size_t kMaxOptionColumn = 28;

const Option kHelpOption{"--help", 'h', nullptr, "show this help"};

bool starts_with(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

const Option *find_long(const CommandSpec &cmd, const std::string &word)
{
    for (const Option &o : cmd.options)
        if (word == o.name) return &o;
    return nullptr;
}

const Option *find_short(const CommandSpec &cmd, char c)
{
    for (const Option &o : cmd.options)
        if (o.short_name != 0 && o.short_name == c) return &o;
    return nullptr;
}

// "--share BUSID ...", "--port PORT", "--tls".
std::string with_value(const Option &o)
{
    std::string s = o.name;
    if (o.value != nullptr) s += std::string(" ") + o.value;
    if (o.many) s += " ...";
    return s;
}

// "  -p, --port PORT" or "      --tls".
std::string option_column(const Option &o)
{
    std::string s = o.short_name != 0 ? std::string("  -") + o.short_name + ", " : std::string(6, ' ');
    return s + with_value(o);
}

std::vector<std::string> words_of(const std::string &text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// A usage form split at the spaces outside brackets, so that "[--port PORT]"
// stays on one line.
std::vector<std::string> usage_tokens(const std::string &form)
{
    std::vector<std::string> tokens(1);
    int depth = 0;
    for (char c : form) {
        if (c == '[') ++depth;
        if (c == ']' && depth > 0) --depth;
        if (c == ' ' && depth == 0) {
            if (!tokens.back().empty()) tokens.emplace_back();
        } else {
            tokens.back() += c;
        }
    }
    if (tokens.back().empty()) tokens.pop_back();
    return tokens;
}

// `tokens` joined by spaces and wrapped: the first line continues `first`,
// the others start with `indent` spaces.
std::string fill(const std::string &first, const std::vector<std::string> &tokens, std::size_t indent)
{
    std::string out = first;
    std::size_t column = first.size();
    bool line_empty = true;
    for (const std::string &t : tokens) {
        if (!line_empty && column + 1 + t.size() > kWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
            line_empty = true;
        }
        if (!line_empty) {
            out += ' ';
            ++column;
        }
        out += t;
        column += t.size();
        line_empty = false;
    }
    return out + "\n";
}

// Paragraphs separated by blank lines; one that starts with a space is shown
// as it is written (an example).
std::vector<std::string> paragraphs(const char *text)
{
    std::vector<std::string> out;
    if (text == nullptr) return out;
    std::string s = text;
    std::size_t at = 0;
    while (at < s.size()) {
        std::size_t end = s.find("\n\n", at);
        if (end == std::string::npos) end = s.size();
        if (end > at) out.push_back(s.substr(at, end - at));
        at = end + 2;
    }
    return out;
}

bool verbatim(const std::string &paragraph) { return !paragraph.empty() && paragraph[0] == ' '; }

std::string text_block(const char *text)
{
    std::string out;
    for (const std::string &p : paragraphs(text)) {
        out += "\n";
        out += verbatim(p) ? p + "\n" : fill("", words_of(p), 0);
    }
    return out;
}

std::string program_word(const CommandSpec &cmd)
{
    return cmd.name[0] == '\0' ? std::string(kProgram) : std::string(kProgram) + " " + cmd.name;
}

// ---------------------------------------------------------------------------
// roff

// Text for roff: backslashes and minus signs escaped, and nothing that a
// line start would read as a request.
std::string roff(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
    }
    return out;
}

std::string roff_line(const std::string &text)
{
    std::string s = roff(text);
    if (!s.empty() && (s[0] == '.' || s[0] == '\'')) s = "\\&" + s;
    return s + "\n";
}

std::string roff_paragraphs(const char *text)
{
    std::string out;
    for (const std::string &p : paragraphs(text)) {
        if (verbatim(p)) {
            out += ".PP\n.nf\n.RS 4\n";
            std::istringstream in(p);
            for (std::string line; std::getline(in, line);) out += roff_line(line.substr(line.find_first_not_of(' ')));
            out += ".RE\n.fi\n";
        } else {
            out += ".PP\n";
            std::string joined;
            for (const std::string &w : words_of(p)) joined += (joined.empty() ? "" : " ") + w;
            out += roff_line(joined);
        }
    }
    return out;
}

// One form of a command: the words in bold, the rest filled with a hanging
// indent below them.
std::string synopsis(const std::string &command, const char *form)
{
    std::string line;
    for (const std::string &token : usage_tokens(form)) {
        std::string t = roff(token);
        // Spaces inside brackets do not break: "[--port PORT]" stays whole.
        for (std::size_t at = t.find(' '); at != std::string::npos; at = t.find(' ', at + 2)) t.replace(at, 1, "\\~");
        line += (line.empty() ? "" : " ") + t;
    }
    return ".SY \"" + roff(command) + "\"\n" + line + "\n.YS\n";
}

std::string roff_option(const Option &o)
{
    std::string head = "\\fB";
    if (o.short_name != 0) head += std::string("\\-") + o.short_name + "\\fR, \\fB";
    head += roff(o.name) + "\\fR";
    if (o.value != nullptr) head += std::string(" \\fI") + roff(o.value) + "\\fR";
    if (o.many) head += " ...";
    return ".TP\n" + head + "\n" + roff_line(o.help);
}

}  // namespace

// ---------------------------------------------------------------------------
// Parsing

const Option &Parsed::option(const char *name) const
{
    for (const Option &o : cmd_->options)
        if (std::strcmp(o.name, name) == 0) return o;
    std::fprintf(stderr, "%s: internal error: '%s' asked for option %s, which its table lacks\n", kProgram,
                 cmd_->name, name);
    std::abort();
}

int Parsed::count(const char *name) const
{
    const Option *o = &option(name);
    return static_cast<int>(std::count_if(given_.begin(), given_.end(), [o](const auto &g) { return g.first == o; }));
}

std::string Parsed::value(const char *name) const
{
    const Option *o = &option(name);
    for (auto it = given_.rbegin(); it != given_.rend(); ++it)
        if (it->first == o) return it->second;
    return "";
}

std::vector<std::string> Parsed::values(const char *name) const
{
    const Option *o = &option(name);
    std::vector<std::string> out;
    for (const auto &g : given_)
        if (g.first == o) out.push_back(g.second);
    return out;
}

Parsed parse_options(const CommandSpec &cmd, Args &a)
{
    Parsed p(cmd);
    while (a.more()) {
        std::string w = a.next();
        if (is_help(w)) {
            p.help = true;
            return p;
        }
        const Option *o = nullptr;
        std::string glued;  // "-p3240": the value glued to a short option
        bool has_glued = false;
        if (starts_with(w, "--")) {
            o = find_long(cmd, w);
        } else if (w.size() >= 2 && w[0] == '-') {
            o = find_short(cmd, w[1]);
            if (o != nullptr && w.size() > 2) {
                if (o->value == nullptr) o = nullptr;  // "-tx" is no switch of ours
                else {
                    glued = w.substr(2);
                    has_glued = true;
                }
            }
        }
        if (o == nullptr) {
            if (cmd.operand != nullptr && !p.has_operand() && !starts_with(w, "-")) {
                p.set_operand(w);
                continue;
            }
            reject_unknown(w);
        }
        if (o->value == nullptr) {
            if (a.value_pending()) throw UsageError{w + " takes no value"};
            p.add(o, "");
            continue;
        }
        p.add(o, has_glued ? glued : a.value(w));
        if (o->many)
            while (a.value_follows()) p.add(o, a.next());
    }
    return p;
}

// ---------------------------------------------------------------------------
// Help and manual

std::string help_text(const CommandSpec &cmd, const std::vector<const CommandSpec *> &commands)
{
    std::string out;
    const std::string program = program_word(cmd);
    for (std::size_t i = 0; i < cmd.usage.size(); ++i) {
        const std::string lead = std::string(i == 0 ? "usage: " : "       ") + program + " ";
        out += fill(lead, usage_tokens(cmd.usage[i]), lead.size());
    }
    out += text_block(cmd.description);
    if (!commands.empty()) {
        out += "\ncommands:\n";
        std::size_t width = 0;
        for (const CommandSpec *c : commands) width = std::max(width, std::strlen(c->name));
        for (const CommandSpec *c : commands) {
            const std::string left = "  " + std::string(c->name) + std::string(width - std::strlen(c->name) + 3, ' ');
            out += fill(left, words_of(c->summary), left.size());
        }
    }
    std::vector<const Option *> options;
    for (const Option &o : cmd.options) options.push_back(&o);
    options.push_back(&kHelpOption);
    std::size_t column = 0;
    for (const Option *o : options) {
        const std::size_t w = option_column(*o).size() + 2;
        if (w <= kMaxOptionColumn) column = std::max(column, w);
    }
    out += "\noptions:\n";
    for (const Option *o : options) {
        std::string left = option_column(*o);
        if (left.size() + 2 > column) {
            out += left + "\n";
            left.clear();
        }
        left.resize(column, ' ');
        out += fill(left, words_of(o->help), column);
    }
    out += text_block(cmd.notes);
    return out;
}

int print_help(const CommandSpec &cmd)
{
    std::fputs(help_text(cmd).c_str(), stdout);
    return 0;
}

std::string man_page(const CommandSpec &program, const std::vector<const CommandSpec *> &commands,
                     const std::vector<ManSection> &sections, const char *version)
{
    std::string out;
    out += ".\\\" Made from the command line's own option tables; do not edit.\n";
    out += std::string(".TH HALVOREN\\-USBIP 1 \"\" \"") + kProgram + " " + version + "\" \"User Commands\"\n";
    out += ".nh\n.ad l\n";
    out += ".SH NAME\n";
    out += roff(kProgram) + " \\- " + roff(program.summary) + "\n";
    out += ".SH SYNOPSIS\n";
    for (const char *form : program.usage) out += synopsis(kProgram, form);
    for (const CommandSpec *c : commands)
        for (const char *form : c->usage) out += synopsis(std::string(kProgram) + " " + c->name, form);
    out += ".SH DESCRIPTION\n";
    out += roff_paragraphs(program.description);
    out += ".SH COMMANDS\n";
    for (const CommandSpec *c : commands) {
        out += ".SS \"" + roff(c->name) + "\"\n";
        for (const char *form : c->usage) out += synopsis(std::string(kProgram) + " " + c->name, form);
        out += roff_paragraphs(c->description);
        for (const Option &o : c->options) out += roff_option(o);
        out += roff_option(kHelpOption);
        out += roff_paragraphs(c->notes);
    }
    out += ".SH OPTIONS\n";
    for (const Option &o : program.options) out += roff_option(o);
    out += roff_option(kHelpOption);
    out += roff_paragraphs(program.notes);
    for (const ManSection &section : sections) {
        out += ".SH " + roff(section.title) + "\n";
        out += roff_paragraphs(section.text);
        for (const auto &[term, text] : section.items) out += ".TP\n\\fB" + roff(term) + "\\fR\n" + roff_line(text);
    }
    return out;
}

}  // namespace cli
