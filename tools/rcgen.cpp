// rcgen.cpp - the resource compiler for the simulated device.
//
//   rcgen INPUT.rc OUTPUT.cpp         C++ table of sim::ModuleResources
//   rcgen --dump INPUT.rc OUTPUT.txt  one line per resource, bytes in hex
//
// Reads a resource script and emits the bytes a Windows resource compiler
// would put into the .res file, as a C++ source that defines
// `tapwatcher_resources` (see device/resources.h). The dump form is for
// people and tests: "RCDATA id lang hex-bytes", "MENU id lang hex-bytes",
// "STRING id lang hex-utf16-units".
//
// What it understands, and the choices it makes:
// - Preprocessor: #include "file" (relative to the including file), #define
//   NAME tokens (object-like only), #undef, #ifdef/#ifndef/#else/#endif,
//   #pragma once, #pragma code_page(65001), #error; // and /* */ comments;
//   a backslash at the end of a line joins the next one.
// - Integer expressions: decimal and 0x hex literals with optional L/U
//   suffixes, unary - ~ +, * / %, + -, &, ^, |, parentheses. An expression that
//   holds an L literal is a 32-bit value in RCDATA, otherwise a 16-bit word.
// - LANGUAGE primary, sub (lang id = sub << 10 | primary), at the top level or
//   as an option of one resource; 1033 until the first LANGUAGE, as windres.
// - RCDATA, MENU (MENUITEM, MENUITEM SEPARATOR, POPUP, with CHECKED, GRAYED,
//   INACTIVE, MENUBARBREAK, MENUBREAK, HELP) and STRINGTABLE.
// - Text is ASCII unless the script says #pragma code_page(65001); then it is
//   UTF-8. Narrow strings in RCDATA keep their source bytes; menu and string
//   table text becomes UTF-16.
//
// Not handled (each is reported as an error, never skipped): other resource
// types (DIALOG, ICON, ACCELERATORS, VERSIONINFO, ...), MENUEX, resources or
// types named by strings, #if/#elif, function-like macros, <system> includes,
// octal literals, other code pages.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

struct Loc {
    std::string file;
    int line = 0;
};

struct CompileError {
    Loc loc;
    std::string what;
};

[[noreturn]] void Fail(const Loc& loc, const std::string& what) {
    throw CompileError{loc, what};
}

// ---------------------------------------------------------------------------
// Tokens
// ---------------------------------------------------------------------------

enum class Tok { Ident, Number, String, Punct, End };

struct Token {
    Tok kind = Tok::End;
    std::string text;     // identifier, punctuator, or the literal as written
    int64_t value = 0;    // Number
    bool is_long = false; // Number with an L suffix
    bool wide = false;    // String written L"..."
    std::string raw;      // String: source bytes, a placeholder where an escape stood
    std::vector<std::pair<size_t, uint32_t>> escapes; // String: position in raw, value
    std::string bytes;                                // narrow String: the bytes (for RCDATA)
    std::u16string units;   // String: the text in UTF-16 (for menus and string tables)
    std::string text_error; // narrow String whose bytes are no text in the code page
    Loc loc;
    std::string macro; // outermost macro this token came from, if any
};

// Where a token came from, for messages: its line, and the macro it came through.
std::string Describe(const Token& t) {
    if (t.kind == Tok::End)
        return "end of file";
    std::string s = "'" + t.text + "'";
    if (!t.macro.empty())
        s += " (from the expansion of " + t.macro + ")";
    return s;
}

bool IsIdentStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsIdentChar(char c) {
    return IsIdentStart(c) || (c >= '0' && c <= '9');
}
bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// Appends one code point to a UTF-16 string, as a surrogate pair above U+FFFF.
void AppendUtf16(std::u16string& out, uint32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out += char16_t(0xD800 + (cp >> 10));
        out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
        out += char16_t(cp);
    }
}

// Decodes UTF-8 source text; malformed sequences are errors, not replacement marks.
std::u16string DecodeUtf8(const std::string& s, const Loc& loc) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = s[i];
        int extra = c < 0x80             ? 0
                    : (c & 0xE0) == 0xC0 ? 1
                    : (c & 0xF0) == 0xE0 ? 2
                    : (c & 0xF8) == 0xF0 ? 3
                                         : -1;
        if (extra < 0 || i + extra >= s.size())
            Fail(loc, "text is not valid UTF-8");
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; k++) {
            unsigned char cc = s[i + k];
            if ((cc & 0xC0) != 0x80)
                Fail(loc, "text is not valid UTF-8");
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            Fail(loc, "text is not valid UTF-8");
        AppendUtf16(out, cp);
        i += extra + 1;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Lexer: one logical line at a time; block comments may span lines.
// ---------------------------------------------------------------------------

class LineLexer {
  public:
    // lenient: inside a skipped #ifdef branch, where anything goes.
    LineLexer(const std::string& line, const Loc& loc, bool& in_comment, bool lenient)
        : s_(line), loc_(loc), in_comment_(in_comment), lenient_(lenient) {}

    // Splits the line into tokens, dropping comments.
    std::vector<Token> Run() {
        std::vector<Token> out;
        while (true) {
            SkipSpaceAndComments();
            if (i_ >= s_.size())
                break;
            Token t = Next();
            if (t.kind != Tok::End)
                out.push_back(std::move(t));
        }
        return out;
    }

    // Index of the first character at or after i that is not a blank.
    static size_t SkipSpace(const std::string& s, size_t i) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\f' || s[i] == '\v'))
            i++;
        return i;
    }

  private:
    void SkipSpaceAndComments() {
        while (i_ < s_.size()) {
            if (in_comment_) {
                size_t end = s_.find("*/", i_);
                if (end == std::string::npos) {
                    i_ = s_.size();
                    return;
                }
                in_comment_ = false;
                i_ = end + 2;
                continue;
            }
            char c = s_[i_];
            if (c == ' ' || c == '\t' || c == '\f' || c == '\v') {
                i_++;
            } else if (c == '/' && i_ + 1 < s_.size() && s_[i_ + 1] == '/') {
                i_ = s_.size();
            } else if (c == '/' && i_ + 1 < s_.size() && s_[i_ + 1] == '*') {
                in_comment_ = true;
                i_ += 2;
            } else {
                return;
            }
        }
    }

    Token Next() {
        Token t;
        t.loc = loc_;
        char c = s_[i_];
        if ((c == 'L' || c == 'l') && i_ + 1 < s_.size() && s_[i_ + 1] == '"') {
            i_++;
            return String(true);
        }
        if (IsIdentStart(c)) {
            size_t b = i_;
            while (i_ < s_.size() && IsIdentChar(s_[i_]))
                i_++;
            t.kind = Tok::Ident;
            t.text = s_.substr(b, i_ - b);
            return t;
        }
        if (c >= '0' && c <= '9')
            return Number();
        if (c == '"')
            return String(false);
        static const std::string kPunct = ",(){}|&^+-~*/%#";
        if (kPunct.find(c) != std::string::npos) {
            i_++;
            t.kind = Tok::Punct;
            t.text = std::string(1, c);
            return t;
        }
        i_++;
        if (lenient_)
            return Token{};
        Fail(loc_, std::string("unexpected character '") + c + "'");
    }

    Token Number() {
        Token t;
        t.loc = loc_;
        size_t b = i_;
        while (i_ < s_.size() && IsIdentChar(s_[i_]))
            i_++;
        t.kind = Tok::Number;
        t.text = s_.substr(b, i_ - b);
        std::string digits = t.text;
        while (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l' ||
                                   digits.back() == 'U' || digits.back() == 'u')) {
            if (digits.back() == 'L' || digits.back() == 'l')
                t.is_long = true;
            digits.pop_back();
        }
        uint64_t v = 0;
        bool ok = !digits.empty();
        if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            ok = digits.size() > 2;
            for (size_t k = 2; k < digits.size() && ok; k++) {
                ok = IsHex(digits[k]);
                v = v * 16 + (ok ? HexValue(digits[k]) : 0);
                ok = ok && v <= 0xFFFFFFFFu;
            }
        } else {
            if (digits.size() > 1 && digits[0] == '0' && !lenient_)
                Fail(loc_,
                     "number '" + t.text + "' has a leading 0: write it in decimal or 0x hex");
            for (size_t k = 0; k < digits.size() && ok; k++) {
                ok = digits[k] >= '0' && digits[k] <= '9';
                v = v * 10 + (ok ? digits[k] - '0' : 0);
                ok = ok && v <= 0xFFFFFFFFu;
            }
        }
        if (!ok && !lenient_)
            Fail(loc_, "bad number '" + t.text + "' (decimal or 0x hex up to 32 bits)");
        t.value = int64_t(v);
        return t;
    }

    // A quoted string; "" stands for one quote, and C escapes are understood.
    Token String(bool wide) {
        Token t;
        t.kind = Tok::String;
        t.loc = loc_;
        t.wide = wide;
        size_t b = i_;
        i_++; // opening quote
        // Source bytes are kept as they are, escapes aside: what they mean
        // depends on the code page in force where the string is used.
        std::string raw;
        std::vector<std::pair<size_t, uint32_t>> escaped;
        while (true) {
            if (i_ >= s_.size()) {
                if (lenient_)
                    return Token{};
                Fail(loc_, "string has no closing quote");
            }
            char c = s_[i_];
            if (c == '"') {
                if (i_ + 1 < s_.size() && s_[i_ + 1] == '"') {
                    raw += '"';
                    i_ += 2;
                    continue;
                }
                i_++;
                break;
            }
            if (c != '\\') {
                raw += c;
                i_++;
                continue;
            }
            i_++;
            if (i_ >= s_.size()) {
                if (lenient_)
                    return Token{};
                Fail(loc_, "string has no closing quote");
            }
            char e = s_[i_++];
            uint32_t v;
            switch (e) {
            case 'a':
                v = 7;
                break;
            case 'b':
                v = 8;
                break;
            case 'f':
                v = 12;
                break;
            case 'n':
                v = 10;
                break;
            case 'r':
                v = 13;
                break;
            case 't':
                v = 9;
                break;
            case 'v':
                v = 11;
                break;
            case '\\':
            case '"':
            case '\'':
            case '?':
                v = uint8_t(e);
                break;
            case 'x': {
                size_t max = wide ? 4 : 2, n = 0;
                v = 0;
                while (n < max && i_ < s_.size() && IsHex(s_[i_])) {
                    v = v * 16 + HexValue(s_[i_++]);
                    n++;
                }
                if (n == 0) {
                    if (lenient_)
                        return Token{};
                    Fail(loc_, "\\x with no hex digits");
                }
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    v = e - '0';
                    for (int n = 1; n < 3 && i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '7'; n++)
                        v = v * 8 + (s_[i_++] - '0');
                    if (!wide && v > 0xFF) {
                        if (lenient_)
                            return Token{};
                        Fail(loc_, "octal escape does not fit in a byte");
                    }
                    break;
                }
                if (lenient_)
                    return Token{};
                Fail(loc_, std::string("unknown escape '\\") + e + "'");
            }
            escaped.push_back({raw.size(), v});
            raw += '\0'; // placeholder: the value is in escaped
        }
        t.text = s_.substr(b, i_ - b);
        t.raw = std::move(raw);
        t.escapes = std::move(escaped);
        return t;
    }

    const std::string& s_;
    Loc loc_;
    bool& in_comment_;
    bool lenient_;
    size_t i_ = 0;
};

// ---------------------------------------------------------------------------
// Preprocessor: files, directives, macros; yields the script's tokens.
// ---------------------------------------------------------------------------

struct Macro {
    std::vector<Token> body;
    Loc loc;
};

class Preprocessor {
  public:
    // Preprocesses the script and everything it includes.
    std::vector<Token> Run(const std::string& path) {
        File(path, Loc{}, 0);
        Token end;
        end.kind = Tok::End;
        end.loc = last_;
        out_.push_back(end);
        return std::move(out_);
    }

  private:
    struct Cond {
        bool parent_active;
        bool active;
        bool taken;
        bool seen_else;
        Loc loc;
    };

    // Reads one file and processes it line by line.
    void File(const std::string& path, const Loc& from, int depth) {
        if (depth > 32)
            Fail(from, "includes nest more than 32 deep");
        if (once_.count(path))
            return;
        std::ifstream in(path, std::ios::binary);
        if (!in)
            Fail(from.file.empty() ? Loc{path, 0} : from, "cannot open '" + path + "'");
        std::stringstream ss;
        ss << in.rdbuf();
        std::string text = ss.str();
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
            text.erase(0, 3); // UTF-8 byte-order mark

        std::string dir;
        size_t slash = path.find_last_of('/');
        if (slash != std::string::npos)
            dir = path.substr(0, slash + 1);

        std::vector<Cond> conds;
        bool in_comment = false;
        Loc comment_start;
        int line_no = 0;
        size_t pos = 0;
        while (pos < text.size()) {
            // One logical line: a backslash before the newline joins the next.
            Loc loc{path, line_no + 1};
            std::string line;
            while (true) {
                size_t nl = text.find('\n', pos);
                std::string phys =
                    text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
                pos = nl == std::string::npos ? text.size() : nl + 1;
                line_no++;
                if (!phys.empty() && phys.back() == '\r')
                    phys.pop_back();
                if (!phys.empty() && phys.back() == '\\' && pos < text.size()) {
                    phys.pop_back();
                    line += phys;
                    continue;
                }
                line += phys;
                break;
            }
            last_ = Loc{path, line_no};
            bool active = conds.empty() || conds.back().active;
            bool was_in_comment = in_comment;
            size_t first = LineLexer::SkipSpace(line, 0);
            if (!in_comment && first < line.size() && line[first] == '#') {
                Directive(line, first + 1, loc, dir, depth, conds, in_comment);
            } else {
                LineLexer lex(line, loc, in_comment, !active);
                std::vector<Token> toks = lex.Run();
                if (active)
                    for (Token& t : toks)
                        Emit(t, {});
            }
            if (in_comment && !was_in_comment)
                comment_start = loc;
        }
        last_ = Loc{path, line_no}; // where an includer goes on, or the end of the script
        if (in_comment)
            Fail(comment_start, "comment opened here is never closed");
        if (!conds.empty())
            Fail(conds.back().loc, "#ifdef/#ifndef opened here has no #endif");
    }

    // Handles one preprocessor line; `at` is just past the '#'.
    void Directive(const std::string& line, size_t at, const Loc& loc, const std::string& dir,
                   int depth, std::vector<Cond>& conds, bool& in_comment) {
        size_t b = LineLexer::SkipSpace(line, at), e = b;
        while (e < line.size() && IsIdentChar(line[e]))
            e++;
        std::string name = line.substr(b, e - b);
        std::string rest = line.substr(e);
        bool active = conds.empty() || conds.back().active;

        // Conditionals are tracked even inside skipped branches.
        if (name == "ifdef" || name == "ifndef" || name == "if") {
            if (!active) {
                LineLexer(rest, loc, in_comment, true).Run();
                conds.push_back({false, false, true, false, loc});
                return;
            }
            if (name == "if")
                Fail(loc, "#if is not supported: use #ifdef or #ifndef");
            std::vector<Token> args = LineLexer(rest, loc, in_comment, false).Run();
            if (args.size() != 1 || args[0].kind != Tok::Ident)
                Fail(loc, "#" + name + " takes one name");
            bool cond = macros_.count(args[0].text) != 0;
            if (name == "ifndef")
                cond = !cond;
            conds.push_back({true, cond, cond, false, loc});
            return;
        }
        if (name == "else" || name == "endif" || name == "elif") {
            std::vector<Token> args = LineLexer(rest, loc, in_comment, true).Run();
            if (conds.empty())
                Fail(loc, "#" + name + " without #ifdef");
            if (name == "elif") {
                if (conds.back().parent_active)
                    Fail(loc, "#elif is not supported: nest #ifdef inside #else");
                return;
            }
            if (!args.empty() && conds.back().parent_active)
                Fail(loc, "unexpected text after #" + name);
            if (name == "endif") {
                conds.pop_back();
                return;
            }
            Cond& c = conds.back();
            if (c.seen_else)
                Fail(loc, "second #else for the #ifdef at line " + std::to_string(c.loc.line));
            c.seen_else = true;
            c.active = c.parent_active && !c.taken;
            return;
        }
        if (!active) {
            LineLexer(rest, loc, in_comment, true).Run();
            return;
        }
        if (name.empty() && LineLexer(rest, loc, in_comment, false).Run().empty())
            return; // a lone '#' does nothing

        if (name == "include") {
            size_t q = LineLexer::SkipSpace(rest, 0);
            if (q < rest.size() && rest[q] == '<')
                Fail(loc, "#include <...> names a system header, which the device does not have");
            size_t close =
                q < rest.size() && rest[q] == '"' ? rest.find('"', q + 1) : std::string::npos;
            if (close == std::string::npos)
                Fail(loc, "#include needs a \"file name\"");
            std::vector<Token> after =
                LineLexer(rest.substr(close + 1), loc, in_comment, false).Run();
            if (!after.empty())
                Fail(loc, "unexpected text after #include");
            std::string file = rest.substr(q + 1, close - q - 1);
            std::string full = !file.empty() && file[0] == '/' ? file : dir + file;
            File(full, loc, depth + 1);
            return;
        }
        std::vector<Token> args = LineLexer(rest, loc, in_comment, false).Run();
        if (name == "define") {
            if (args.empty() || args[0].kind != Tok::Ident)
                Fail(loc, "#define needs a name");
            size_t after_name = rest.find(args[0].text) + args[0].text.size();
            if (after_name < rest.size() && rest[after_name] == '(')
                Fail(loc, "function-like macro '" + args[0].text + "' is not supported");
            auto old = macros_.find(args[0].text);
            std::vector<Token> body(args.begin() + 1, args.end());
            if (old != macros_.end() && !SameTokens(old->second.body, body))
                Fail(loc, "'" + args[0].text + "' redefined with another value (first at " +
                              old->second.loc.file + ":" + std::to_string(old->second.loc.line) +
                              ")");
            macros_[args[0].text] = Macro{body, loc};
        } else if (name == "undef") {
            if (args.size() != 1 || args[0].kind != Tok::Ident)
                Fail(loc, "#undef takes one name");
            macros_.erase(args[0].text);
        } else if (name == "pragma") {
            if (args.size() == 1 && args[0].text == "once") {
                once_.insert(loc.file);
            } else if (args.size() == 4 && args[0].text == "code_page" && args[1].text == "(" &&
                       args[2].kind == Tok::Number && args[3].text == ")") {
                if (args[2].value != 65001)
                    Fail(loc, "code page " + std::to_string(args[2].value) +
                                  " is not supported: use 65001 (UTF-8)");
                utf8_ = true;
            } else {
                Fail(loc, "unknown #pragma");
            }
        } else if (name == "error") {
            Fail(loc, "#error" + rest);
        } else {
            Fail(loc, "unknown directive '#" + name + "'");
        }
    }

    // Compares two macro bodies token by token (a repeated identical #define is fine).
    static bool SameTokens(const std::vector<Token>& a, const std::vector<Token>& b) {
        if (a.size() != b.size())
            return false;
        for (size_t k = 0; k < a.size(); k++)
            if (a[k].kind != b[k].kind || a[k].text != b[k].text)
                return false;
        return true;
    }

    // Appends a token to the output, expanding macros; `hide` stops self-reference.
    void Emit(Token t, std::vector<std::string> hide) {
        if (t.kind == Tok::String)
            FinishString(t);
        if (t.kind == Tok::Ident) {
            auto m = macros_.find(t.text);
            if (m != macros_.end() && std::find(hide.begin(), hide.end(), t.text) == hide.end()) {
                hide.push_back(t.text);
                for (Token b : m->second.body) {
                    b.loc = t.loc;
                    b.macro = t.macro.empty() ? t.text : t.macro;
                    Emit(b, hide);
                }
                return;
            }
        }
        out_.push_back(std::move(t));
    }

    // Settles a string's bytes and text once the code page in force is known.
    // Narrow: escapes are byte values and the text is the bytes decoded.
    // Wide: source bytes are decoded, escapes are UTF-16 units as they stand.
    void FinishString(Token& t) {
        for (unsigned char ch : t.raw)
            if (ch >= 0x80 && !utf8_)
                Fail(t.loc, "non-ASCII text needs '#pragma code_page(65001)' before it");
        size_t from = 0;
        for (size_t k = 0; k <= t.escapes.size(); k++) {
            size_t to = k < t.escapes.size() ? t.escapes[k].first : t.raw.size();
            std::string plain = t.raw.substr(from, to - from);
            if (t.wide)
                t.units += DecodeUtf8(plain, t.loc);
            else
                t.bytes += plain;
            if (k < t.escapes.size()) {
                if (t.wide)
                    t.units += char16_t(t.escapes[k].second);
                else
                    t.bytes += char(t.escapes[k].second);
                from = to + 1;
            }
        }
        if (!t.wide) {
            bool ascii = std::all_of(t.bytes.begin(), t.bytes.end(),
                                     [](char ch) { return (unsigned char)ch < 0x80; });
            if (ascii || utf8_) {
                try {
                    t.units = DecodeUtf8(t.bytes, t.loc);
                } catch (const CompileError&) {
                    t.text_error = "escaped bytes in this text are not valid UTF-8";
                }
            } else {
                t.text_error = "bytes above 0x7F in narrow text need '#pragma code_page(65001)'"
                               " or an L\"...\" string";
            }
        }
    }

    std::map<std::string, Macro> macros_;
    std::set<std::string> once_;
    std::vector<Token> out_;
    Loc last_;
    bool utf8_ = false;
};

// ---------------------------------------------------------------------------
// Compiled resources
// ---------------------------------------------------------------------------

enum : uint16_t { kMenu = 4, kString = 6, kRcdata = 10 };

struct Resource {
    uint16_t type;
    uint16_t id;
    uint16_t lang;
    std::vector<uint8_t> bytes;
    Loc loc;
};

struct StringRes {
    uint16_t id;
    uint16_t lang;
    std::u16string text;
    Loc loc;
};

struct Compiled {
    std::vector<Resource> data;
    std::vector<StringRes> strings;
};

void PutWord(std::vector<uint8_t>& out, uint32_t w) {
    out.push_back(uint8_t(w & 0xFF));
    out.push_back(uint8_t((w >> 8) & 0xFF));
}

// ---------------------------------------------------------------------------
// Parser: statements of the script over the preprocessed tokens.
// ---------------------------------------------------------------------------

struct Value {
    int64_t v;
    bool is_long;
};

class Parser {
  public:
    explicit Parser(std::vector<Token> toks) : t_(std::move(toks)) {}

    // Parses every statement up to the end of the script.
    Compiled Run() {
        while (Peek().kind != Tok::End) {
            if (IsIdent("LANGUAGE")) {
                Take();
                lang_ = Language();
            } else if (IsIdent("STRINGTABLE")) {
                Take();
                StringTable();
            } else {
                ResourceStatement();
            }
        }
        return std::move(out_);
    }

  private:
    const Token& Peek(size_t ahead = 0) const { return t_[std::min(i_ + ahead, t_.size() - 1)]; }
    const Token& Take() {
        const Token& t = t_[i_];
        if (i_ + 1 < t_.size())
            i_++;
        return t;
    }
    bool IsIdent(const char* s) const { return Peek().kind == Tok::Ident && Peek().text == s; }
    bool IsPunct(const char* s) const { return Peek().kind == Tok::Punct && Peek().text == s; }
    bool IsBegin() const { return IsIdent("BEGIN") || IsPunct("{"); }
    bool IsEnd() const { return IsIdent("END") || IsPunct("}"); }

    [[noreturn]] void Unexpected(const std::string& wanted) const {
        Fail(Peek().loc, "expected " + wanted + ", found " + Describe(Peek()));
    }

    void ExpectPunct(const char* s) {
        if (!IsPunct(s))
            Unexpected(std::string("'") + s + "'");
        Take();
    }

    // BEGIN or '{'; returns where it stands, for the "never closed" message.
    Loc OpenBlock(const std::string& what) {
        if (!IsBegin())
            Unexpected("BEGIN of " + what);
        return Take().loc;
    }

    // True at END or '}' (consumed); fails at the end of the file.
    bool CloseBlock(const Loc& open, const std::string& what) {
        if (Peek().kind == Tok::End)
            Fail(open, "BEGIN of " + what + " here has no matching END");
        if (IsEnd()) {
            Take();
            return true;
        }
        return false;
    }

    // ----- expressions ---------------------------------------------------

    Value Expr() { return Or(); }

    Value Or() {
        Value a = Xor();
        while (IsPunct("|")) {
            Take();
            Value b = Xor();
            a = {a.v | b.v, a.is_long || b.is_long};
        }
        return a;
    }
    Value Xor() {
        Value a = And();
        while (IsPunct("^")) {
            Take();
            Value b = And();
            a = {a.v ^ b.v, a.is_long || b.is_long};
        }
        return a;
    }
    Value And() {
        Value a = Sum();
        while (IsPunct("&")) {
            Take();
            Value b = Sum();
            a = {a.v & b.v, a.is_long || b.is_long};
        }
        return a;
    }
    Value Sum() {
        Value a = Product();
        while (IsPunct("+") || IsPunct("-")) {
            bool plus = Take().text == "+";
            Value b = Product();
            a = Checked({plus ? a.v + b.v : a.v - b.v, a.is_long || b.is_long});
        }
        return a;
    }
    Value Product() {
        Value a = Unary();
        while (IsPunct("*") || IsPunct("/") || IsPunct("%")) {
            const Token& op = Take();
            Loc loc = op.loc;
            char c = op.text[0];
            Value b = Unary();
            if (c != '*' && b.v == 0)
                Fail(loc, "division by zero");
            a = Checked({c == '*'   ? a.v * b.v
                         : c == '/' ? a.v / b.v
                                    : a.v % b.v,
                         a.is_long || b.is_long});
        }
        return a;
    }
    Value Unary() {
        if (IsPunct("-") || IsPunct("~") || IsPunct("+")) {
            char c = Take().text[0];
            Value a = Unary();
            if (c == '-')
                a.v = -a.v;
            else if (c == '~')
                a.v = ~a.v;
            return a;
        }
        return Primary();
    }
    Value Primary() {
        const Token& t = Peek();
        if (t.kind == Tok::Number) {
            Take();
            return {t.value, t.is_long};
        }
        if (IsPunct("(")) {
            Take();
            Value v = Expr();
            ExpectPunct(")");
            return v;
        }
        if (t.kind == Tok::Ident)
            Fail(t.loc, "undefined name '" + t.text + "'" +
                            (t.macro.empty() ? "" : " (from the expansion of " + t.macro + ")"));
        Unexpected("a number");
    }
    // Keeps intermediate results far from int64 overflow.
    Value Checked(Value v) const {
        if (v.v > (int64_t(1) << 40) || v.v < -(int64_t(1) << 40))
            Fail(Peek().loc, "value out of range");
        return v;
    }

    // An expression that must lie in [lo, hi]; `what` names it in the message.
    uint32_t Ranged(int64_t lo, int64_t hi, const std::string& what) {
        Loc loc = Peek().loc;
        Value v = Expr();
        if (v.v < lo || v.v > hi)
            Fail(loc, what + " " + std::to_string(v.v) + " is out of range (" + std::to_string(lo) +
                          " to " + std::to_string(hi) + ")");
        return uint32_t(v.v);
    }

    // ----- statements ----------------------------------------------------

    // "primary, sub" after LANGUAGE.
    uint16_t Language() {
        uint32_t primary = Ranged(0, 0x3FF, "primary language");
        ExpectPunct(",");
        uint32_t sub = Ranged(0, 0x3F, "sublanguage");
        return uint16_t((sub << 10) | primary);
    }

    // Memory flags (ignored, as on every 32-bit Windows) and optional statements.
    uint16_t Options() {
        uint16_t lang = lang_;
        static const char* const kMemory[] = {"PRELOAD", "LOADONCALL", "MOVEABLE",   "FIXED",
                                              "PURE",    "IMPURE",     "DISCARDABLE"};
        while (Peek().kind == Tok::Ident) {
            bool memory = false;
            for (const char* m : kMemory)
                memory = memory || Peek().text == m;
            if (memory) {
                Take();
            } else if (IsIdent("LANGUAGE")) {
                Take();
                lang = Language();
            } else if (IsIdent("CHARACTERISTICS") || IsIdent("VERSION")) {
                Take();
                Ranged(0, 0xFFFFFFFFLL, "value");
            } else {
                break;
            }
        }
        return lang;
    }

    // NAME TYPE [options] BEGIN ... END
    void ResourceStatement() {
        const Token& first = Peek();
        Loc loc = first.loc;
        if (first.kind == Tok::String)
            Fail(loc, "resources named by strings are not supported: use a number");
        uint16_t id = uint16_t(Ranged(1, 0xFFFF, "resource id"));
        if (Peek().kind != Tok::Ident)
            Unexpected("a resource type");
        std::string type = Take().text;
        Resource r{0, id, 0, {}, loc};
        std::string what = type + " " + std::to_string(id);
        if (type == "RCDATA") {
            r.type = kRcdata;
            r.lang = Options();
            RcdataBody(OpenBlock(what), what, r.bytes);
        } else if (type == "MENU") {
            r.type = kMenu;
            r.lang = Options();
            PutWord(r.bytes, 0); // wVersion
            PutWord(r.bytes, 0); // cbHeaderSize
            MenuItems(OpenBlock(what), what, r.bytes);
        } else {
            Fail(t_[i_ - 1].loc, "resource type '" + type + "' is not supported");
        }
        for (const Resource& o : out_.data)
            if (o.type == r.type && o.id == r.id && o.lang == r.lang)
                Fail(loc, what + " for language " + std::to_string(r.lang) +
                              " is already defined at line " + std::to_string(o.loc.line));
        out_.data.push_back(std::move(r));
    }

    // Comma-separated numbers and strings up to END.
    void RcdataBody(const Loc& open, const std::string& what, std::vector<uint8_t>& out) {
        bool need_comma = false;
        while (!CloseBlock(open, what)) {
            if (IsPunct(",")) {
                Take();
                need_comma = false;
                continue;
            }
            if (need_comma)
                Unexpected("',' or END");
            if (Peek().kind == Tok::String) {
                const Token& s = Take();
                if (s.wide)
                    for (char16_t u : s.units)
                        PutWord(out, u);
                else
                    out.insert(out.end(), s.bytes.begin(), s.bytes.end());
            } else {
                Loc loc = Peek().loc;
                Value v = Expr();
                if (v.is_long) {
                    if (v.v < -(int64_t(1) << 31) || v.v > 0xFFFFFFFFLL)
                        Fail(loc, "value " + std::to_string(v.v) + " does not fit in 32 bits");
                    PutWord(out, uint32_t(v.v) & 0xFFFF);
                    PutWord(out, uint32_t(v.v) >> 16);
                } else {
                    if (v.v < -32768 || v.v > 0xFFFF)
                        Fail(loc, "value " + std::to_string(v.v) +
                                      " does not fit in a 16-bit word (add L for 32 bits)");
                    PutWord(out, uint32_t(v.v) & 0xFFFF);
                }
            }
            need_comma = true;
        }
    }

    // Menu and string table text as UTF-16.
    std::u16string Text(const Token& s) {
        if (!s.text_error.empty())
            Fail(s.loc, s.text_error);
        return s.units;
    }

    // Item option keywords after a MENUITEM's id or a POPUP's text.
    uint16_t ItemFlags() {
        static const std::pair<const char*, uint16_t> kFlags[] = {
            {"GRAYED", 0x01},       {"INACTIVE", 0x02},  {"CHECKED", 0x08},
            {"MENUBARBREAK", 0x20}, {"MENUBREAK", 0x40}, {"HELP", 0x4000}};
        uint16_t flags = 0;
        while (true) {
            if (IsPunct(",")) {
                Take();
                continue;
            }
            bool found = false;
            for (const auto& f : kFlags)
                if (IsIdent(f.first)) {
                    flags |= f.second;
                    found = true;
                }
            if (!found)
                return flags;
            Take();
        }
    }

    // The items of one menu level; MF_END (0x80) marks the last of them.
    void MenuItems(const Loc& open, const std::string& what, std::vector<uint8_t>& out) {
        size_t last_flags = std::string::npos;
        while (!CloseBlock(open, what)) {
            if (IsIdent("MENUITEM")) {
                Take();
                last_flags = out.size();
                if (IsIdent("SEPARATOR")) {
                    Take();
                    PutWord(out, 0);
                    PutWord(out, 0);
                    PutWord(out, 0);
                    continue;
                }
                if (Peek().kind != Tok::String)
                    Unexpected("the item's \"text\"");
                std::u16string text = Text(Take());
                ExpectPunct(",");
                uint16_t id = uint16_t(Ranged(-32768, 0xFFFF, "menu item id"));
                uint16_t flags = ItemFlags();
                PutWord(out, flags);
                PutWord(out, id);
                for (char16_t u : text)
                    PutWord(out, u);
                PutWord(out, 0);
            } else if (IsIdent("POPUP")) {
                Loc loc = Take().loc;
                if (Peek().kind != Tok::String)
                    Unexpected("the popup's \"text\"");
                std::u16string text = Text(Take());
                uint16_t flags = ItemFlags() | 0x10; // MF_POPUP
                last_flags = out.size();
                PutWord(out, flags);
                for (char16_t u : text)
                    PutWord(out, u);
                PutWord(out, 0);
                size_t before = out.size();
                MenuItems(OpenBlock("POPUP"), "POPUP", out);
                if (out.size() == before)
                    Fail(loc, "POPUP has no items");
            } else {
                Unexpected("MENUITEM, POPUP or END");
            }
        }
        if (last_flags != std::string::npos)
            out[last_flags] |= 0x80; // MF_END, in the low byte of the flags word
    }

    // STRINGTABLE [options] BEGIN id [,] "text" ... END
    void StringTable() {
        uint16_t lang = Options();
        Loc open = OpenBlock("STRINGTABLE");
        while (!CloseBlock(open, "STRINGTABLE")) {
            Loc loc = Peek().loc;
            uint16_t id = uint16_t(Ranged(0, 0xFFFF, "string id"));
            if (IsPunct(","))
                Take();
            if (Peek().kind != Tok::String)
                Unexpected("the string's \"text\"");
            std::u16string text = Text(Take());
            if (text.find(u'\0') != std::u16string::npos)
                Fail(loc, "string " + std::to_string(id) + " holds a NUL, which is not supported");
            for (const StringRes& o : out_.strings)
                if (o.id == id && o.lang == lang)
                    Fail(loc, "string " + std::to_string(id) + " for language " +
                                  std::to_string(lang) + " is already defined at line " +
                                  std::to_string(o.loc.line));
            out_.strings.push_back({id, lang, text, loc});
        }
    }

    std::vector<Token> t_;
    size_t i_ = 0;
    uint16_t lang_ = 0x409; // until the first LANGUAGE statement, as windres
    Compiled out_;
};

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

const char* TypeName(uint16_t type) {
    return type == kMenu ? "MENU" : "RCDATA";
}

// A char16_t literal; \x escapes for anything but printable ASCII, and a new
// literal piece after an escape when a hex digit follows, so it cannot run on.
std::string U16Literal(const std::u16string& s) {
    std::string out = "u\"";
    bool after_escape = false;
    for (char16_t u : s) {
        if (u >= 0x20 && u < 0x7F && u != '"' && u != '\\') {
            if (after_escape && IsHex(char(u)))
                out += "\" u\"";
            out += char(u);
            after_escape = false;
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\x%X", unsigned(u));
            out += buf;
            after_escape = true;
        }
    }
    return out + "\"";
}

// The C++ table that the device loads the tool's resources from.
std::string EmitCpp(const Compiled& c, const std::string& input) {
    std::string base = input.substr(input.find_last_of('/') + 1);
    std::ostringstream o;
    o << "// Generated by rcgen from " << base << ": edit the script, not this file.\n"
      << "#include \"device/resources.h\"\n\nnamespace {\n";
    char buf[16];
    for (size_t k = 0; k < c.data.size(); k++) {
        const Resource& r = c.data[k];
        if (r.bytes.empty())
            continue;
        o << "\n// " << TypeName(r.type) << " " << r.id << ", language " << r.lang << "\n"
          << "const uint8_t kBytes" << k << "[] = {";
        for (size_t b = 0; b < r.bytes.size(); b++) {
            std::snprintf(buf, sizeof buf, "0x%02X,", r.bytes[b]);
            o << (b % 12 == 0 ? "\n    " : " ") << buf;
        }
        o << "\n};\n";
    }
    if (!c.data.empty()) {
        o << "\nconst sim::ResData kData[] = {\n";
        for (size_t k = 0; k < c.data.size(); k++) {
            const Resource& r = c.data[k];
            std::string arr = "kBytes" + std::to_string(k);
            o << "    {sim::" << (r.type == kMenu ? "RT_MENU_ID" : "RT_RCDATA_ID") << ", " << r.id
              << ", " << r.lang << ", "
              << (r.bytes.empty() ? "nullptr, 0" : arr + ", sizeof " + arr) << "},\n";
        }
        o << "};\n";
    }
    if (!c.strings.empty()) {
        o << "\nconst sim::ResString kStrings[] = {\n";
        for (const StringRes& s : c.strings)
            o << "    {" << s.id << ", " << s.lang << ", " << U16Literal(s.text) << "},\n";
        o << "};\n";
    }
    o << "\n} // namespace\n\n"
      << "extern const sim::ModuleResources tapwatcher_resources;\n"
      << "const sim::ModuleResources tapwatcher_resources = {"
      << (c.data.empty() ? "nullptr" : "kData") << ", " << c.data.size() << ", "
      << (c.strings.empty() ? "nullptr" : "kStrings") << ", " << c.strings.size() << "};\n";
    return o.str();
}

// One line per resource, bytes (or UTF-16 units) in hex.
std::string EmitDump(const Compiled& c) {
    std::ostringstream o;
    char buf[8];
    for (const Resource& r : c.data) {
        o << TypeName(r.type) << " " << r.id << " " << r.lang;
        for (uint8_t b : r.bytes) {
            std::snprintf(buf, sizeof buf, " %02X", b);
            o << buf;
        }
        o << "\n";
    }
    for (const StringRes& s : c.strings) {
        o << "STRING " << s.id << " " << s.lang;
        for (char16_t u : s.text) {
            std::snprintf(buf, sizeof buf, " %04X", unsigned(u));
            o << buf;
        }
        o << "\n";
    }
    return o.str();
}

// Compiles the script: preprocess, parse, then order as a resource directory
// does (data by type, id, language; strings by id, language).
Compiled Compile(const std::string& input) {
    Preprocessor pp;
    Compiled c = Parser(pp.Run(input)).Run();
    std::stable_sort(c.data.begin(), c.data.end(), [](const Resource& a, const Resource& b) {
        return std::tie(a.type, a.id, a.lang) < std::tie(b.type, b.id, b.lang);
    });
    std::stable_sort(c.strings.begin(), c.strings.end(),
                     [](const StringRes& a, const StringRes& b) {
                         return std::tie(a.id, a.lang) < std::tie(b.id, b.lang);
                     });
    return c;
}

} // namespace

int main(int argc, char** argv) {
    bool dump = argc == 4 && std::string(argv[1]) == "--dump";
    if (argc != 3 && !dump) {
        std::fprintf(stderr, "usage: rcgen [--dump] INPUT.rc OUTPUT\n");
        return 2;
    }
    std::string input = argv[argc - 2], output = argv[argc - 1];
    std::string text;
    try {
        Compiled c = Compile(input);
        text = dump ? EmitDump(c) : EmitCpp(c, input);
    } catch (const CompileError& e) {
        // A stale output must not outlive a failed compile.
        std::remove(output.c_str());
        std::fprintf(stderr, "%s:%d: %s\n", e.loc.file.c_str(), e.loc.line, e.what.c_str());
        return 1;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::remove(output.c_str());
        std::fprintf(stderr, "rcgen: cannot write '%s'\n", output.c_str());
        return 1;
    }
    return 0;
}
