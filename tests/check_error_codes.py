#!/usr/bin/env python3
"""Every message in the reference has its error code, and that code is the
one the library sets with it.

- The header's enum of codes is read; every table of messages in
  docs/reference.md (a table whose first column is "message") must have a
  "code" column, and each row's code must be a code of the enum.
- Each message whose format text the library's sources pass to
  usbip_set_last_error must be passed there with the code the reference
  gives; a message that no source passes must at least be a text of the
  sources (a prefix given elsewhere, a text chosen at run time).
- Every call site sets a code of the enum (never USBIP_ERROR_NONE); the
  signature already makes the code compulsory.
- Every code of the enum is documented.

Usage: check_error_codes.py HEADER REFERENCE SOURCE_DIR...
"""
import re
import sys
from pathlib import Path


def enum_codes(header: str) -> dict:
    codes = dict(re.findall(r"^\s*(USBIP_ERROR_[A-Z_]+)\s*=\s*(\d+)", header, re.M))
    if not codes:
        sys.exit("no USBIP_ERROR_ codes in the header")
    return codes


def message_rows(reference: str):
    """(message format, code) of every row of every message table."""
    rows, problems = [], []
    lines = reference.splitlines()
    i = 0
    while i < len(lines):
        head = [c.strip() for c in lines[i].strip().strip("|").split("|")]
        if lines[i].startswith("|") and head and head[0] == "message":
            if "code" not in head:
                problems.append(f"reference line {i + 1}: a table of messages without a code column")
                i += 1
                continue
            col = head.index("code")
            i += 2  # the header and its rule
            while i < len(lines) and lines[i].startswith("|"):
                cells = [c.strip() for c in lines[i].strip().strip("|").split("|")]
                texts = re.findall(r"`([^`]+)`", cells[0])
                cell = cells[col] if col < len(cells) else ""
                found = re.findall(r"USBIP_ERROR_[A-Z_]+", cell)
                # A row without a message ("the common client messages")
                # points to another table.
                for t in texts:
                    rows.append((t, found or [cell or "none"], i + 1))
                i += 1
            continue
        i += 1
    return rows, problems


def set_calls(sources):
    """(code argument, its string literals joined, the literals) for each
    usbip_set_last_error call."""
    calls = []
    for text in sources:
        for m in re.finditer(r"\busbip_set_last_error\(", text):
            # The call runs to its closing parenthesis at depth 0; its code is
            # the text before the first comma at depth 0.
            start = j = m.end(0)
            depth, comma = 1, None
            while depth > 0 and j < len(text):
                ch = text[j]
                if ch == "(":
                    depth += 1
                elif ch == ")":
                    depth -= 1
                elif ch == "," and depth == 1 and comma is None:
                    comma = j
                elif ch == "'":
                    j += 3 if text[j + 1] == "\\" else 2  # a character literal
                elif ch == '"':
                    j += 1
                    while text[j] != '"':
                        j += 2 if text[j] == "\\" else 1
                j += 1
            call = text[start:j - 1]
            code = " ".join(text[start:comma].split()) if comma is not None else ""
            literals = re.findall(r'"((?:[^"\\]|\\.)*)"', call[comma - start:] if comma is not None else call)
            calls.append((code, "".join(literals), literals))
    return calls


def composed_in(message: str, all_text: str) -> bool:
    """True when every literal piece of a message (between its %-fields,
    without brackets) is a text of the sources: a message put together from
    several texts."""
    pieces = [p.strip(" ()-:") for p in re.split(r"%[0-9]*[a-z]+", message)]
    pieces = [p for p in pieces if len(p) >= 4]
    return bool(pieces) and all(p in all_text for p in pieces)


def main() -> int:
    header, reference = Path(sys.argv[1]).read_text(), Path(sys.argv[2]).read_text()
    sources = [p.read_text() for d in sys.argv[3:] for p in sorted(Path(d).rglob("*.cpp"))]
    sources += [p.read_text() for d in sys.argv[3:] for p in sorted(Path(d).rglob("*.h"))]
    all_text = "\n".join(sources)
    codes = enum_codes(header)
    rows, problems = message_rows(reference)
    calls = set_calls(sources)
    for code, joined, _ in calls:
        if code.startswith("usbip_error_code "):
            continue  # the definition
        # The signature makes a code compulsory; a call must name a real one
        # (or a function that picks one), never "no error".
        if "USBIP_ERROR_NONE" in code or not re.search(r"USBIP_ERROR_[A-Z_]+|_code\(", code):
            problems.append(f"usbip_set_last_error(\"{joined}\") is set with no real code: {code}")
        for name in re.findall(r"USBIP_ERROR_[A-Z_]+", code):
            if name not in codes:
                problems.append(f"usbip_set_last_error(\"{joined}\") names an unknown code {name}")
    documented_codes = set()
    for message, row_codes, line in rows:
        unknown = [c for c in row_codes if c not in codes]
        if unknown:
            problems.append(f"reference line {line}: `{message}` has no known code ({', '.join(unknown)})")
            continue
        documented_codes.update(row_codes)
        # A message with a prefix chosen by the caller ("server_start: ...")
        # is set as "%s: ...", and one that names its side ("TLS-PSK client
        # handshake failed") takes the side as "%s".
        candidates = {message, re.sub(r"^[a-z_]+: ", "%s: ", message),
                      re.sub(r"\b(client|server)\b", "%s", message, count=1)}
        setting = [c for c in calls if c[1] in candidates or any(lit in candidates for lit in c[2])]
        if setting:
            # A code chosen at run time (an expression) is checked by the tests.
            wrong = sorted({c[0] for c in setting if c[0].startswith("USBIP_ERROR_") and c[0] not in row_codes})
            if wrong:
                problems.append(f"reference line {line}: `{message}` is documented as {', '.join(row_codes)} but "
                                f"set with {', '.join(wrong)}")
        elif not any(f'"{m}"' in all_text for m in candidates) and not composed_in(message, all_text):
            problems.append(f"reference line {line}: `{message}` is no text of the sources")
    for name in codes:
        if name != "USBIP_ERROR_NONE" and name not in documented_codes and f"`{name}`" not in reference:
            problems.append(f"{name} is documented nowhere in the reference")
    for p in problems:
        print(p)
    if problems:
        return 1
    print(f"{len(rows)} documented messages, each with its code; {len(codes)} codes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
