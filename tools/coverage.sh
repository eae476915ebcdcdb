#!/usr/bin/env bash
# Measures what the fast Linux suite runs of the program's own code: builds
# the coverage preset (clang 19, source-based coverage with MC/DC) in
# build/coverage, runs the suite, and prints the lines, branches and MC/DC
# conditions covered of each file of the product, then every place not
# covered, marked with * when docs/coverage.md (which says more) does not
# name it. Not a test: it exits 0 whatever it finds, unless the build or a
# test fails.
#
#   tools/coverage.sh            the table and the list
#   tools/coverage.sh --summary  the table only
set -euo pipefail
cd "$(dirname "$0")/.."

summary_only=0
case "${1:-}" in
--summary) summary_only=1 ;;
"") ;;
*) sed -n '2,11p' "$0"; exit 2 ;;
esac

bash tools/setup.sh coverage

build=build/coverage
mkdir -p build
echo "== Building the coverage preset in $build" >&2
cmake --preset coverage >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build --preset coverage -j "$(nproc)" >"$build.build.log" 2>&1 ||
    { tail -50 "$build.build.log"; exit 1; }

# The test preset names one profile file per process (LLVM_PROFILE_FILE).
echo "== Running the Linux suite" >&2
rm -rf "$build/profiles"
ctest --preset coverage -j "$(nproc)" >"$build.test.log" 2>&1 || { tail -50 "$build.test.log"; exit 1; }
llvm-profdata-19 merge -sparse "$build"/profiles/*.profraw -o "$build/suite.profdata"

# Every executable the suite ran (the program and the unit tests link the
# product's libraries); llvm-cov takes the first one bare, the others after
# -object.
objects=()
while IFS= read -r exe; do
    [ ${#objects[@]} -eq 0 ] && objects=("$exe") || objects+=(-object "$exe")
done < <(find "$build" -type f -perm -u+x ! -path '*/CMakeFiles/*' -exec sh -c \
    'head -c 4 "$1" | grep -q ELF' _ {} \; -print | sort)
sources=()
for layer in cli settings keyrecord driver runtime; do
    while IFS= read -r f; do sources+=("$f"); done < <(find "$PWD/$layer" -name '*.cpp' -o -name '*.h' | sort)
done

llvm-cov-19 export -summary-only -instr-profile "$build/suite.profdata" "${objects[@]}" "${sources[@]}" \
    >"$build/summary.json" 2>"$build/llvm-cov.log"
llvm-cov-19 show -show-branches=count -show-mcdc -instr-profile "$build/suite.profdata" \
    "${objects[@]}" "${sources[@]}" >"$build/show.txt" 2>>"$build/llvm-cov.log"

python3 - "$PWD" "$build/summary.json" "$build/show.txt" "$summary_only" <<'EOF'
import json
import re
import sys

root, summary_path, show_path, summary_only = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "1"


def rel(path):
    return path[len(root) + 1:] if path.startswith(root + "/") else path


def cell(part):
    if part["count"] == 0:
        return "%15s" % "-"
    return "%6d/%-5d%3d%%" % (part["covered"], part["count"], int(100.0 * part["covered"] / part["count"]))


data = json.load(open(summary_path))["data"][0]
print("%-26s %15s %15s %15s" % ("file", "lines", "branches", "MC/DC"))
for f in sorted(data["files"], key=lambda f: rel(f["filename"])):
    s = f["summary"]
    if s["lines"]["count"] == 0:
        continue
    print("%-26s %s %s %s" % (rel(f["filename"]), cell(s["lines"]), cell(s["branches"]), cell(s["mcdc"])))
t = data["totals"]
print("%-26s %s %s %s" % ("total", cell(t["lines"]), cell(t["branches"]), cell(t["mcdc"])))
print("not covered: %d lines, %d branch sides, %d MC/DC conditions" %
      (t["lines"]["count"] - t["lines"]["covered"], t["branches"]["count"] - t["branches"]["covered"],
       t["mcdc"]["count"] - t["mcdc"]["covered"]))
if summary_only:
    sys.exit(0)

# llvm-cov show: a file's name and ':' on a line of its own, then its lines
# ("  25|   47|text") with branch and MC/DC boxes ("  |  ...") below them.
line_row = re.compile(r"^\s*(\d+)\|\s*([^|]*)\|(.*)$")
branch_row = re.compile(r"Branch \((\d+):(\d+)\): \[True: ([^,]+), False: ([^\]]+)\]")
condition_row = re.compile(r"Condition C(\d+) --> \((\d+):(\d+)\)")
pair_row = re.compile(r"C(\d+)-Pair: not covered")
source = {}
found = []
name = None
conditions = {}
for text in open(show_path, encoding="utf-8", errors="replace"):
    text = text.rstrip("\n")
    if text.startswith("/") and text.endswith(":"):
        name = rel(text[:-1])
        source[name] = {}
        continue
    if name is None:
        continue
    m = line_row.match(text)
    if m:
        number, count, code = int(m.group(1)), m.group(2).strip(), m.group(3)
        source[name][number] = code
        if count == "0":
            found.append((name, number, 0, "line not run: " + code.strip()))
        continue
    m = branch_row.search(text)
    if m:
        line, col = int(m.group(1)), int(m.group(2))
        for side, count in (("true", m.group(3)), ("false", m.group(4))):
            if count.strip() == "0":
                found.append((name, line, col, "branch never %s" % side))
        continue
    m = condition_row.search(text)
    if m:
        conditions[int(m.group(1))] = (int(m.group(2)), int(m.group(3)))
        continue
    m = pair_row.search(text)
    if m:
        line, col = conditions[int(m.group(1))]
        found.append((name, line, col, "MC/DC condition not shown to decide"))

# docs/coverage.md names each guard the inputs cannot reach by its file and
# the code of its condition, in backquotes; the lines a guard's body spans go
# with it.
named = {}
for row in re.findall(r"^\| `([\w/.]+)`[^|]*\|([^|]*)\|", open(root + "/docs/coverage.md").read(), re.M):
    named.setdefault(row[0], []).extend(re.findall(r"`([^`]+)`", row[1]))


def is_named(name, line, col):
    # A line not run belongs to the decision just above it.
    lines = [line] if col else [line - d for d in (1, 2, 3)]
    return any(snippet in source[name].get(n, "") for n in lines for snippet in named.get(name, []))


print()
unnamed = 0
for name, line, col, what in sorted(set(found)):
    where = "%s:%d" % (name, line) + (":%d" % col if col else "")
    if col and not what.startswith("line"):
        code = source[name].get(line, "")
        what += ": " + code[col - 1:].strip()[:60]
    mark = " " if is_named(name, line, col) else "*"
    unnamed += mark == "*"
    print("%s %-28s %s" % (mark, where, what))
print()
if unnamed:
    print("* not named in docs/coverage.md: %d" % unnamed)
else:
    print("every place not covered is named in docs/coverage.md")
EOF
