#!/usr/bin/env python3
"""Generates src/regex/unicode_tables.{h,cpp}: the code-point range tables and simple case
mappings that the regular-expression engine and the file-name helpers use.

Usage: python3 tools/gen_unicode_tables.py [UNICODE_DATA_DIR] [OUTPUT_DIR]
Defaults: /usr/share/unicode (Debian package unicode-data) and src/regex beside this script.
"""
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
OUT = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "..", "src", "regex")
REGEN = "python3 tools/gen_unicode_tables.py"

CATEGORY_TABLES = ["Nd", "Zs", "Cc", "Lt", "Nl", "Pc", "Pd", "Pf", "Pi", "Zl", "Zp", "Sc"]
SCRIPTS = ["Arabic", "Cyrillic", "Devanagari", "Greek", "Han", "Latin"]


def read_unicode_data():
    """Returns {code point: (category, upper, lower)}, with First/Last blocks expanded."""
    result = {}
    first = None
    with open(os.path.join(DATA, "UnicodeData.txt"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            cp = int(fields[0], 16)
            name, cat = fields[1], fields[2]
            upper = int(fields[12], 16) if fields[12] else None
            lower = int(fields[13], 16) if fields[13] else None
            if name.endswith(", First>"):
                first = cp
                continue
            if name.endswith(", Last>"):
                for c in range(first, cp + 1):
                    result[c] = (cat, None, None)
                first = None
                continue
            result[cp] = (cat, upper, lower)
    return result


def read_version():
    with open(os.path.join(DATA, "CaseFolding.txt"), encoding="utf-8") as f:
        m = re.match(r"#\s*CaseFolding-([\d.]+)\.txt", f.readline())
    return m.group(1) if m else "unknown"


def read_scripts():
    scripts = {s: set() for s in SCRIPTS}
    with open(os.path.join(DATA, "Scripts.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.split("#")[0].strip()
            if not line:
                continue
            span, script = [x.strip() for x in line.split(";")]
            if script not in scripts:
                continue
            if ".." in span:
                a, b = span.split("..")
                scripts[script].update(range(int(a, 16), int(b, 16) + 1))
            else:
                scripts[script].add(int(span, 16))
    return scripts


def read_folding():
    fold = {}
    with open(os.path.join(DATA, "CaseFolding.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.split("#")[0].strip()
            if not line:
                continue
            code, status, mapping = [x.strip() for x in line.split(";")[:3]]
            if status in ("C", "S"):
                fold[int(code, 16)] = int(mapping, 16)
    return fold


def ranges(cps):
    out = []
    for c in sorted(cps):
        if out and out[-1][1] + 1 == c:
            out[-1][1] = c
        else:
            out.append([c, c])
    return out


def case_runs(mapping):
    """Runs (first, last, delta, stride): every code point first, first + stride ... last maps
    to itself + delta; code points skipped inside a stride-2 run have no mapping."""
    runs = []
    for c in sorted(mapping):
        d = mapping[c] - c
        if runs:
            r = runs[-1]
            if r[2] == d:
                if r[0] == r[1] and c in (r[1] + 1, r[1] + 2):
                    r[3] = c - r[1]
                    r[1] = c
                    continue
                if c == r[1] + r[3]:
                    r[1] = c
                    continue
        runs.append([c, c, d, 1])
    return runs


def emit_ranges(name, rs):
    lines = [f"constexpr UnicodeRange {name}[] = {{"]
    items = [f"{{0x{a:X},0x{b:X}}}" for a, b in rs]
    for i in range(0, len(items), 8):
        lines.append("    " + ",".join(items[i:i + 8]) + ",")
    lines.append("};")
    return "\n".join(lines)


def emit_case(name, runs):
    lines = [f"constexpr UnicodeCaseRun {name}[] = {{"]
    items = [f"{{0x{a:X},0x{b:X},{d},{s}}}" for a, b, d, s in runs]
    for i in range(0, len(items), 5):
        lines.append("    " + ",".join(items[i:i + 5]) + ",")
    lines.append("};")
    return "\n".join(lines)


def main():
    data = read_unicode_data()
    version = read_version()
    tables = []  # (enum name, array name, ranges)
    for cat in CATEGORY_TABLES:
        tables.append((f"UNICODE_{cat.upper()}", f"k_{cat.lower()}",
                       ranges(c for c, v in data.items() if v[0] == cat)))
    letters = [c for c, v in data.items() if v[0].startswith("L")]
    tables.append(("UNICODE_LETTER", "k_letter", ranges(letters)))
    tables.append(("UNICODE_CASED_LETTER", "k_cased_letter",
                   ranges(c for c, v in data.items() if v[0] in ("Lu", "Ll", "Lt"))))
    # Word characters beyond the letters: marks, decimal digits, letter numbers, connector
    # punctuation and the two joiners.
    word_extra = [c for c, v in data.items()
                  if v[0] in ("Mn", "Mc", "Me", "Nd", "Nl", "Pc") and c >= 128]
    word_extra += [0x200C, 0x200D]
    tables.append(("UNICODE_WORD_EXTRA", "k_word_extra", ranges(word_extra)))
    scripts = read_scripts()
    for s in SCRIPTS:
        tables.append((f"UNICODE_SCRIPT_{s.upper()}", f"k_script_{s.lower()}", ranges(scripts[s])))

    fold = read_folding()
    lower = {c: v[2] for c, v in data.items() if v[2] is not None and v[2] != c}
    upper = {c: v[1] for c, v in data.items() if v[1] is not None and v[1] != c}
    cases = [("UNICODE_FOLD", "k_fold", case_runs(fold)),
             ("UNICODE_LOWER", "k_lower", case_runs(lower)),
             ("UNICODE_UPPER", "k_upper", case_runs(upper))]

    banner = (f"// Generated by {REGEN} from the Unicode {version} character database "
              f"(Debian unicode-data); do not edit, regenerate.\n")
    h = [banner.rstrip("\n"), "// clang-format off",
         "// Code-point range tables (sorted, disjoint) and simple case mappings as runs.",
         "#pragma once", "", "#include <cstdint>", "#include <span>", "",
         "struct UnicodeRange {", "  uint32_t first;", "  uint32_t last;", "};", "",
         "// Every code point first, first + stride, ... up to last maps to itself + delta; with",
         "// stride 2 the code points in between map to themselves.",
         "struct UnicodeCaseRun {", "  uint32_t first;", "  uint32_t last;", "  int32_t delta;",
         "  uint32_t stride;", "};", "",
         "enum UnicodeTable : int32_t {"]
    for i, (enum, _, _) in enumerate(tables):
        h.append(f"  {enum} = {i},")
    h += [f"  UNICODE_TABLE_COUNT = {len(tables)},", "};", "",
          "enum UnicodeCaseTable : int32_t {"]
    for i, (enum, _, _) in enumerate(cases):
        h.append(f"  {enum} = {i},")
    h += ["};", "",
          f'inline constexpr const char* UNICODE_VERSION = "{version}";', "",
          "std::span<const UnicodeRange> unicode_table(UnicodeTable table);",
          "std::span<const UnicodeCaseRun> unicode_case_table(UnicodeCaseTable table);", ""]

    c = [banner.rstrip("\n"), "// clang-format off", '#include "regex/unicode_tables.h"', "", "namespace {", ""]
    for _, arr, rs in tables:
        c.append(emit_ranges(arr, rs))
        c.append("")
    for _, arr, runs in cases:
        c.append(emit_case(arr, runs))
        c.append("")
    c += ["constexpr std::span<const UnicodeRange> k_tables[] = {"]
    c += [f"    {arr}," for _, arr, _ in tables]
    c += ["};", "", "constexpr std::span<const UnicodeCaseRun> k_case_tables[] = {"]
    c += [f"    {arr}," for _, arr, _ in cases]
    c += ["};", "", "}  // namespace", "",
          "std::span<const UnicodeRange> unicode_table(UnicodeTable table) {",
          "  if (table < 0 || table >= UNICODE_TABLE_COUNT) return {};",
          "  return k_tables[table];", "}", "",
          "std::span<const UnicodeCaseRun> unicode_case_table(UnicodeCaseTable table) {",
          f"  if (table < 0 || table > {len(cases) - 1}) return {{}};",
          "  return k_case_tables[table];", "}", ""]

    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "unicode_tables.h"), "w", encoding="utf-8") as f:
        f.write("\n".join(h))
    with open(os.path.join(OUT, "unicode_tables.cpp"), "w", encoding="utf-8") as f:
        f.write("\n".join(c))
    total = sum(len(rs) for _, _, rs in tables)
    print(f"unicode {version}: {len(tables)} range tables ({total} ranges), "
          + ", ".join(f"{e} {len(r)} runs" for e, _, r in cases))


if __name__ == "__main__":
    main()
