#!/usr/bin/env python3
"""The support guide names every text the launcher can show.

The texts are read from the product sources, not listed here: a wide string literal is a text
the player sees when it reaches the screen by one of the launcher's routes (see PlayerTexts).
A text built in pieces ("...\\n" + a reason) counts as its fixed pieces, each line alone.
VANTOR_SOURCE_DIR names the source tree; by default the tree this file lies in.
"""
import os
import re
import sys
import tempfile
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get("VANTOR_SOURCE_DIR", Path(__file__).resolve().parents[2]))
GUIDE = SOURCE / "docs/troubleshooting.md"
PRODUCT_DIRS = ("app", "common", "launch", "status", "update")

# Windows calls that put their text argument (by index) on the screen.
SYSTEM_SINKS = {"SetWindowTextW": 1, "MessageBoxW": 1}
# Names under which the sources hold a text: variables, members, parameters and constants.
HOLDER_NAMES = {"message", "error", "text"}
HOLDER_SUFFIXES = ("Text", "Caption", "Title")
KEYWORDS = {"if", "for", "while", "switch", "catch", "return", "sizeof", "static_cast",
            "reinterpret_cast", "const_cast", "new", "delete", "throw", "decltype"}

TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<raw>(?:L|u8|u|U)?R"(?P<delim>[^(\s]*)\((?P<rawbody>.*?)\)(?P=delim)")
  | (?P<string>(?:L|u8|u|U)?"(?:\\.|[^"\\\n])*")
  | (?P<char>(?:L|u8|u|U)?'(?:\\.|[^'\\\n])+')
  | (?P<ident>[A-Za-z_]\w*)
  | (?P<number>\.?\d(?:[\w.']|[eEpP][+-])*)
  | (?P<punct>::|->|\+\+|--|<<=|>>=|<=|>=|==|!=|&&|\|\||\+=|-=|\*=|/=|%=|&=|\|=|\^=|<<|>>|.)
""", re.VERBOSE | re.DOTALL)

ESCAPE = re.compile(r"\\(u[0-9A-Fa-f]{4}|U[0-9A-Fa-f]{8}|x[0-9A-Fa-f]+|[0-7]{1,3}|.)", re.DOTALL)
SIMPLE_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "a": "\a", "b": "\b", "f": "\f", "v": "\v",
                  "\\": "\\", '"': '"', "'": "'", "?": "?"}


def unescape(body):
    def one(match):
        code = match.group(1)
        if code[0] in "uUx":
            return chr(int(code[1:], 16))
        if code[0].isdigit():
            return chr(int(code, 8))
        return SIMPLE_ESCAPES.get(code, code)
    return ESCAPE.sub(one, body)


class Token:
    def __init__(self, kind, value, line, wide=False):
        self.kind, self.value, self.line, self.wide = kind, value, line, wide

    def is_(self, value):
        return self.kind == "punct" and self.value == value


def tokenize(text):
    tokens = []
    line = 1
    for match in TOKEN.finditer(text):
        lexeme = match.group(0)
        if match.group("raw"):
            tokens.append(Token("string", match.group("rawbody"), line, lexeme.startswith("L")))
        elif match.group("string"):
            body = lexeme[lexeme.index('"') + 1:-1]
            tokens.append(Token("string", unescape(body), line, lexeme.startswith("L")))
        elif match.group("ident") or match.group("number") or match.group("punct"):
            tokens.append(Token(match.lastgroup, lexeme, line))
        line += lexeme.count("\n")
    # Adjacent literals are one literal, as the compiler joins them.
    joined = []
    for token in tokens:
        if token.kind == "string" and joined and joined[-1].kind == "string":
            joined[-1].value += token.value
            joined[-1].wide = joined[-1].wide or token.wide
        else:
            joined.append(token)
    return joined


def closing(tokens, start):
    """Index of the bracket that closes tokens[start]."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    stack = []
    for i in range(start, len(tokens)):
        t = tokens[i]
        if t.kind == "punct" and t.value in pairs:
            stack.append(pairs[t.value])
        elif t.kind == "punct" and stack and t.value == stack[-1]:
            stack.pop()
            if not stack:
                return i
    return len(tokens) - 1


OPEN, CLOSE = {"(", "[", "{"}, {")", "]", "}"}


def split_top(tokens, separator):
    """tokens split at separators outside any bracket."""
    parts, current, depth = [], [], 0
    for t in tokens:
        if t.kind == "punct" and t.value in OPEN:
            depth += 1
        elif t.kind == "punct" and t.value in CLOSE:
            depth -= 1
        if depth == 0 and t.is_(separator):
            parts.append(current)
            current = []
        else:
            current.append(t)
    parts.append(current)
    return parts


def until_top(tokens, start, stops):
    """tokens[start:] up to the first stop punctuation outside brackets opened on the way."""
    depth = 0
    for i in range(start, len(tokens)):
        t = tokens[i]
        if t.kind == "punct" and t.value in OPEN:
            depth += 1
        elif t.kind == "punct" and t.value in CLOSE:
            if depth == 0:
                return tokens[start:i]
            depth -= 1
        elif depth == 0 and t.kind == "punct" and t.value in stops:
            return tokens[start:i]
    return tokens[start:]


def is_holder(name):
    return name in HOLDER_NAMES or name.endswith(HOLDER_SUFFIXES)


DECLARATION_PUNCT = {"::", "*", "&", "&&", "<", ">"}


def declared_name(part):
    """The name declared by 'type name [= value]', or None when part is not such a declaration."""
    part = until_top(part, 0, {"=", "{"})
    if len(part) < 2 or part[-1].kind != "ident":
        return None
    if any(t.kind != "ident" and t.value not in DECLARATION_PUNCT for t in part):
        return None
    return part[-1].value


def is_text_type(part):
    return any(t.kind == "ident" and t.value in ("wchar_t", "wstring", "wstring_view")
               for t in part)


class PlayerTexts:
    """Wide literals that reach the screen, gathered over all product files. A literal counts when
    it stands in
      - the text argument of SetWindowTextW or MessageBoxW, or of any product function whose
        wide-text parameter at that place is named message, error or text;
      - the value given to a holder: a variable, member or constant named message, error or
        text, or whose name ends in Text, Caption or Title;
      - a return of a function named ...Text, or of a function returning a record that carries
        a message;
      - the text field of a row of a table of records that have one (the window's controls).
    A constant named in any of these stands for its literal."""

    def __init__(self, files):
        self.files = {path: tokenize(path.read_text(encoding="utf-8")) for path in files}
        self.constants = {}        # name -> (path, literal token)
        self.sinks = dict(SYSTEM_SINKS)
        self.text_fields = {}      # record name -> index of its text field
        self.result_records = set()
        for path, tokens in self.files.items():
            self._learn(path, tokens)
        self.found = []            # (path, line, literal)
        for path, tokens in self.files.items():
            self._gather(path, tokens)

    def _learn(self, path, tokens):
        statement = 0
        for i, t in enumerate(tokens):
            if t.kind == "punct" and t.value in {";", "{", "}"}:
                statement = i + 1
                continue
            if t.kind != "ident":
                continue
            nxt = tokens[i + 1] if i + 1 < len(tokens) else None
            # [inline] const[expr] wchar_t NAME[] = L"...";
            j = closing(tokens, i + 1) + 1 if nxt is not None and nxt.is_("[") else i + 1
            if (j + 2 < len(tokens) and tokens[j].is_("=") and tokens[j + 1].kind == "string"
                    and tokens[j + 1].wide and tokens[j + 2].is_(";")
                    and any(d.value in ("const", "constexpr") for d in tokens[statement:i])):
                self.constants[t.value] = (path, tokens[j + 1])
            # A function that takes a text to show: a parameter list of declarations.
            if nxt is not None and nxt.is_("(") and t.value not in KEYWORDS:
                params = split_top(tokens[i + 2:closing(tokens, i + 1)], ",")
                for index, param in enumerate(params):
                    if declared_name(param) in HOLDER_NAMES and is_text_type(param):
                        self.sinks.setdefault(t.value, index)
            # A record: the place of its text field, and whether it carries a message.
            if t.value in ("struct", "class") and i + 2 < len(tokens) and tokens[i + 2].is_("{"):
                fields = []
                for member in split_top(tokens[i + 3:closing(tokens, i + 2)], ";"):
                    if any(m.is_("(") for m in member):
                        continue
                    parts = split_top(member, ",")
                    names = [declared_name(parts[0])] + [
                        p[0].value for p in parts[1:] if p and p[0].kind == "ident"]
                    fields += [n for n in names if n]
                if "message" in fields:
                    self.result_records.add(tokens[i + 1].value)
                for index, field in enumerate(fields):
                    if is_holder(field):
                        self.text_fields[tokens[i + 1].value] = index

    def _take(self, path, expression):
        for t in expression:
            if t.kind == "string" and t.wide:
                self.found.append((path, t.line, t.value))
            elif t.kind == "ident" and t.value in self.constants:
                where, literal = self.constants[t.value]
                self.found.append((where, literal.line, literal.value))

    def _gather(self, path, tokens):
        for i, t in enumerate(tokens):
            nxt = tokens[i + 1] if i + 1 < len(tokens) else None
            calls = t.kind == "ident" and nxt is not None and nxt.is_("(")
            if calls and t.value in self.sinks:
                args = split_top(tokens[i + 2:closing(tokens, i + 1)], ",")
                index = self.sinks[t.value]
                if index < len(args) and not declared_name(args[index]):
                    self._take(path, args[index])
            if t.kind == "punct" and t.value in ("=", "+="):
                target = i - 1
                if target >= 0 and tokens[target].is_("]"):
                    while target > 0 and not tokens[target].is_("["):
                        target -= 1
                    target -= 1
                held = target >= 0 and tokens[target].kind == "ident"
                if held and is_holder(tokens[target].value):
                    self._take(path, until_top(tokens, i + 1, {";", ","}))
            if calls and t.value not in KEYWORDS:
                body = closing(tokens, i + 1) + 1
                while body < len(tokens) and tokens[body].kind == "ident":  # const, noexcept
                    body += 1
                returned = {r.value for r in tokens[max(0, i - 4):i] if r.kind == "ident"}
                if body < len(tokens) and tokens[body].is_("{") and (
                        t.value.endswith(HOLDER_SUFFIXES) or self.result_records & returned):
                    for k in range(body, closing(tokens, body)):
                        if tokens[k].kind == "ident" and tokens[k].value == "return":
                            self._take(path, until_top(tokens, k + 1, {";"}))
            # Record NAME[] = { {...}, ... };
            if (t.kind == "ident" and t.value in self.text_fields and nxt is not None
                    and nxt.kind == "ident" and i + 2 < len(tokens) and tokens[i + 2].is_("[")):
                start = closing(tokens, i + 2) + 1
                if start + 1 < len(tokens) and tokens[start].is_("=") \
                        and tokens[start + 1].is_("{"):
                    for row in split_top(tokens[start + 2:closing(tokens, start + 1)], ","):
                        if row and row[0].is_("{"):
                            fields = split_top(row[1:-1], ",")
                            if self.text_fields[t.value] < len(fields):
                                self._take(path, fields[self.text_fields[t.value]])


def pieces(literal):
    """The fixed lines of a literal that carry words or figures."""
    return [p.strip() for p in literal.split("\n") if any(c.isalnum() for c in p)]


def normalized(text):
    return " ".join(text.split())


def product_files(root):
    return sorted(p for d in PRODUCT_DIRS for p in (root / d).rglob("*")
                  if p.suffix in (".cpp", ".h"))


class TroubleshootingGuideTest(unittest.TestCase):
    def test_every_text_the_player_can_see_is_in_the_guide(self):
        texts = PlayerTexts(product_files(SOURCE)).found
        self.assertTrue(texts, "no texts found in the product sources")
        guide = normalized(GUIDE.read_text(encoding="utf-8"))
        missing = sorted({(str(path.relative_to(SOURCE)), line, piece)
                          for path, line, literal in texts for piece in pieces(literal)
                          if normalized(piece) not in guide})
        if missing:
            self.fail("texts missing from docs/troubleshooting.md:\n" +
                      "\n".join(f"  {p}:{n}: {s!r}" for p, n, s in missing))

    def test_each_route_to_the_screen_is_read(self):
        source = r'''
            struct Row { const wchar_t* className; const wchar_t* text; int x, y; };
            const Row Rows[] = {{L"STATIC", L"Table text", 1, 2}};
            constexpr wchar_t LabelText[] = L"Named " L"constant";
            constexpr wchar_t IconName[] = L"not a text";
            constexpr wchar_t VersionText[] = L"9.9";
            struct Outcome { bool ok; std::wstring message; };
            void Report(HWND owner, const wchar_t* text);
            void F(HWND w, std::wstring detail) {
                if (detail == L"not a text") ::SetWindowTextW(w, L"Label \u00e9 text");
                ::MessageBoxW(nullptr, L"Box text", IconName, 0);  // "a comment"
                Report(w, L"First line.\n" + detail);
                push_back(L'"');
                std::wstring error = L"Held text";
                ::CreateFontW(L"Segoe UI", L"//not a comment");
            }
            const wchar_t* StateText(int s) { return L"Returned text"; }
            Outcome Run() { return {true, std::wstring(L"Result text ") + VersionText}; }
        '''
        with tempfile.TemporaryDirectory() as scratch:
            file = Path(scratch) / "texts.cpp"
            file.write_text(source, encoding="utf-8")
            found = {p for _, _, literal in PlayerTexts([file]).found for p in pieces(literal)}
        self.assertEqual(found, {"Table text", "Named constant", "9.9", "Label \u00e9 text",
                                 "Box text", "First line.", "Held text", "Returned text",
                                 "Result text"})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:])
