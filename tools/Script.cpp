#include "Script.h"

#include <cstdio>

namespace korva::tools {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsNameStart(char c) {
    return IsAlpha(c) || c == '_';
}
bool IsNameChar(char c) {
    return IsAlpha(c) || IsDigit(c) || c == '_' || c == '-';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

std::string Describe(char c) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(c));
        return buf;
    }
    return std::string("'") + c + "'";
}

// A cursor over one line; every Fail records the first fault and its column.
class Lexer {
  public:
    explicit Lexer(std::string_view line) : m_Line(line) {}

    bool AtEnd() const { return m_Pos >= m_Line.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_Line[m_Pos]; }
    std::size_t Pos() const { return m_Pos; }

    void SkipSpace() {
        while (!AtEnd() && IsSpace(m_Line[m_Pos])) ++m_Pos;
    }
    // True at the end of the statement: end of line or a trailing comment.
    bool AtStatementEnd() {
        SkipSpace();
        return AtEnd() || Peek() == '#';
    }
    bool Accept(char c) {
        SkipSpace();
        if (Peek() != c) return false;
        ++m_Pos;
        return true;
    }

    std::string_view Name() {
        std::size_t start = m_Pos;
        while (!AtEnd() && IsNameChar(m_Line[m_Pos])) ++m_Pos;
        return m_Line.substr(start, m_Pos - start);
    }

    bool Arg(ScriptArg& out, std::string& error) {
        SkipSpace();
        if (AtEnd() || Peek() == '#') return Fail("missing argument", error);
        char c = Peek();
        if (c == '"') return Text(out, error);
        if (IsDigit(c) || c == '+' || c == '-' || c == '.') return Number(out, error);
        if (IsNameStart(c)) {
            std::size_t start = m_Pos;
            std::string_view word = Name();
            if (EqualNoCase(word, "TRUE") || EqualNoCase(word, "FALSE")) {
                out.kind = ArgKind::Bool;
                out.text = std::string(word);
                out.boolean = EqualNoCase(word, "TRUE");
                return true;
            }
            m_Pos = start;
            return Fail("expected a number, a quoted text, TRUE or FALSE, found '" +
                            std::string(word) + "' (texts go in double quotes)",
                        error);
        }
        if (c == ',' || c == ')')
            return Fail(std::string("missing argument before '") + c + "'", error);
        return Fail("expected an argument, found " + Describe(c), error);
    }

    bool Fail(std::string message, std::string& error) {
        error = std::move(message);
        m_FailPos = m_Pos;
        return false;
    }
    std::size_t FailColumn() const { return m_FailPos + 1; }

  private:
    bool Text(ScriptArg& out, std::string& error) {
        std::size_t open = m_Pos++;
        std::string text;
        while (!AtEnd()) {
            char c = m_Line[m_Pos];
            if (c == '"') {
                ++m_Pos;
                out.kind = ArgKind::Text;
                out.text = std::move(text);
                return true;
            }
            if (c == '\\') {
                char next = m_Pos + 1 < m_Line.size() ? m_Line[m_Pos + 1] : '\0';
                if (next != '"' && next != '\\') {
                    return Fail(next == '\0' ? std::string("'\\' at the end of the line")
                                             : "unknown escape '\\" + std::string(1, next) +
                                                   "' (only \\\" and \\\\ are known)",
                                error);
                }
                text.push_back(next);
                m_Pos += 2;
                continue;
            }
            text.push_back(c);
            ++m_Pos;
        }
        m_Pos = open;
        return Fail("unterminated text (missing closing '\"')", error);
    }

    // [+-] digits [. digits] [e [+-] digits], or [+-] . digits [...]. The value
    // is checked later against the parameter's type; here only its shape.
    bool Number(ScriptArg& out, std::string& error) {
        std::size_t start = m_Pos;
        if (Peek() == '+' || Peek() == '-') ++m_Pos;
        std::size_t digits = 0;
        while (IsDigit(Peek())) ++m_Pos, ++digits;
        if (Peek() == '.') {
            ++m_Pos;
            while (IsDigit(Peek())) ++m_Pos, ++digits;
        }
        if (digits == 0) {
            m_Pos = start;
            return Fail("malformed number", error);
        }
        if (Peek() == 'e' || Peek() == 'E') {
            std::size_t mark = m_Pos++;
            if (Peek() == '+' || Peek() == '-') ++m_Pos;
            if (!IsDigit(Peek())) {
                m_Pos = mark;
                return Fail("malformed exponent", error);
            }
            while (IsDigit(Peek())) ++m_Pos;
        }
        if (IsNameChar(Peek()) || Peek() == '.' || Peek() == '"') {
            std::size_t end = m_Pos + 1;
            m_Pos = start;
            return Fail("malformed number '" + std::string(m_Line.substr(start, end - start)) + "'",
                        error);
        }
        out.kind = ArgKind::Number;
        out.text = std::string(m_Line.substr(start, m_Pos - start));
        return true;
    }

    std::string_view m_Line;
    std::size_t m_Pos = 0;
    std::size_t m_FailPos = 0;
};

}  // namespace

bool IsHostCommand(std::string_view name) {
    for (const char* host : kHostCommands) {
        if (EqualNoCase(name, host)) return true;
    }
    return false;
}

ParseResult ParseLine(std::string_view line) {
    ParseResult r;
    Lexer lex(line);
    if (lex.AtStatementEnd()) {
        r.ok = true;
        return r;
    }
    auto fail = [&](std::string message) {
        r.ok = false;
        r.error = std::move(message);
        r.column = lex.FailColumn();
        r.statement = {};
        return r;
    };
    std::string error;

    if (!IsNameStart(lex.Peek())) {
        lex.Fail("expected a name, found " + Describe(lex.Peek()), error);
        return fail(error);
    }
    std::string_view name = lex.Name();
    Statement& st = r.statement;
    st.name = std::string(name);
    bool host = IsHostCommand(name);
    if (!host && name.find('-') != std::string_view::npos) {
        lex.Fail("unknown host command '" + st.name + "' (host commands: sleep, wait-stop, echo)",
                 error);
        return fail(error);
    }
    st.kind = host ? StatementKind::Host : StatementKind::Call;

    // The name must end at a separator: "SetSpeed0" is one (unknown) name,
    // but "SetSpeed$" is a typo worth reporting here.
    char after = lex.Peek();
    if (!lex.AtEnd() && !IsSpace(after) && after != '(' && after != '=' && after != '#') {
        lex.Fail("unexpected " + Describe(after) + " after the name", error);
        return fail(error);
    }

    lex.SkipSpace();
    if (host && lex.Peek() == '=') {
        lex.Fail("a host command cannot be assigned", error);
        return fail(error);
    }
    if (lex.Accept('=')) {
        st.kind = StatementKind::PropertyPut;
        ScriptArg value;
        if (!lex.Arg(value, error)) return fail(error);
        st.args.push_back(std::move(value));
        if (!lex.AtStatementEnd()) {
            lex.Fail("unexpected " + Describe(lex.Peek()) + " after the value", error);
            return fail(error);
        }
        r.ok = true;
        return r;
    }

    bool parens = lex.Accept('(');
    bool first = true;
    for (;;) {
        if (parens) {
            if (lex.Accept(')')) break;
            if (lex.AtStatementEnd()) {
                lex.Fail("missing ')'", error);
                return fail(error);
            }
        } else if (lex.AtStatementEnd()) {
            break;
        }
        if (!first && !lex.Accept(',')) {
            lex.SkipSpace();
            lex.Fail("expected ',' between arguments, found " + Describe(lex.Peek()), error);
            return fail(error);
        }
        ScriptArg arg;
        if (!lex.Arg(arg, error)) return fail(error);
        st.args.push_back(std::move(arg));
        first = false;
    }
    if (parens && !lex.AtStatementEnd()) {
        lex.Fail("unexpected " + Describe(lex.Peek()) + " after ')'", error);
        return fail(error);
    }
    r.ok = true;
    return r;
}

std::string QuoteText(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            // keeps one statement on one line when a reply carries a CR
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace korva::tools
