#!/bin/sh
# Runs scripts/release twice into two output folders and checks the package:
# the same bytes both times (the second run later, under another umask and
# time zone), the three entries in order with a fixed time, the executable
# the same as the build's own, README.md and LICENSE as in the sources, the
# package named after the project's version, and checksum files that
# sha256sum -c accepts. Also docs/ in it, every link leading into it, and the
# Velociraptor artifact: only keys of the artifact format, pinned to this
# build's executable, the tool fetched by name alone and run with -j in the
# Shells source and not in the export, a Scan row whatever the tool did, and
# the shell object's fields as the Shells columns.
# And every complete example line in README.md and docs/: JSON, with the
# fields of its object in the order the tool writes them.
# Usage: package_test.sh SOURCE_DIR WORK_DIR REFERENCE_EXE VERSION BUILD_TYPE
set -eu
. "$(dirname "$0")/lib.sh"

package="Murkscope64-$version-win64.zip"
artifact="Murkscope64-$version.velociraptor.yaml"
export MURKSCOPE_RELEASE_BUILD_DIR="$work_dir/build"

MURKSCOPE_DIST_DIR="$work_dir/dist-1" "$source_dir/scripts/release" >"$work_dir/first.log" 2>&1 ||
    { cat "$work_dir/first.log" >&2; echo "FAIL: scripts/release failed" >&2; exit 1; }
# Zip times have a resolution of two seconds: a time taken from the files
# themselves would differ after this pause.
sleep 3
(umask 077 && TZ=Pacific/Kiritimati MURKSCOPE_DIST_DIR="$work_dir/dist-2" \
    "$source_dir/scripts/release") >"$work_dir/second.log" 2>&1 ||
    { cat "$work_dir/second.log" >&2; echo "FAIL: second scripts/release failed" >&2; exit 1; }

for dist in "$work_dir/dist-1" "$work_dir/dist-2"; do
    names=$(cd "$dist" && LC_ALL=C ls -1 | tr '\n' ' ')
    expected="$package $package.sha256 $artifact Murkscope64.exe Murkscope64.exe.sha256 "
    [ "$names" = "$expected" ] || fail "$dist holds '$names', not '$expected'"
    (cd "$dist" && sha256sum -c --quiet "$package.sha256" Murkscope64.exe.sha256) ||
        fail "$dist: checksum files do not match"
done

for name in "$package" "$package.sha256" Murkscope64.exe Murkscope64.exe.sha256 "$artifact"; do
    cmp "$work_dir/dist-1/$name" "$work_dir/dist-2/$name" || fail "$name differs between the two runs"
done

zip_file="$work_dir/dist-1/$package"
entries=$(unzip -Z1 "$zip_file" | tr '\n' ' ')
expected="LICENSE Murkscope64.exe README.md $(cd "$source_dir" && LC_ALL=C ls -1 docs/* | tr '\n' ' ')"
[ "$entries" = "$expected" ] || fail "entries are '$entries', not '$expected'"
# Long listing: mode, version, system, size, type, packed size, method, date, time, name.
unzip -Zl "$zip_file" | awk '$10 != "" && $1 ~ /^-/' >"$work_dir/listing"
while read -r mode _ _ _ _ _ _ day time name; do
    [ "$day $time" = "80-Jan-01 00:00" ] || fail "$name is dated $day $time"
    case "$name" in
        Murkscope64.exe) [ "$mode" = "-rwxr-xr-x" ] || fail "$name has mode $mode" ;;
        *) [ "$mode" = "-rw-r--r--" ] || fail "$name has mode $mode" ;;
    esac
done <"$work_dir/listing"
[ "$(wc -l <"$work_dir/listing")" -eq "$(echo "$expected" | wc -w)" ] || fail "listing has $(wc -l <"$work_dir/listing") files"
# No extra fields: no owner ids or local times from the build machine.
unzip -Zv "$zip_file" | grep "length of extra field:" | grep -v " 0 bytes" &&
    fail "an entry carries an extra field"

mkdir -p "$work_dir/unpacked"
(cd "$work_dir/unpacked" && unzip -q "$zip_file")
cmp "$work_dir/unpacked/Murkscope64.exe" "$work_dir/dist-1/Murkscope64.exe" ||
    fail "packaged Murkscope64.exe differs from the one beside the package"
same_as_reference "$work_dir/dist-1/Murkscope64.exe"
cmp "$work_dir/unpacked/README.md" "$source_dir/README.md" || fail "packaged README.md differs"
cmp "$work_dir/unpacked/LICENSE" "$source_dir/LICENSE" || fail "packaged LICENSE differs"
diff -r "$work_dir/unpacked/docs" "$source_dir/docs" >/dev/null || fail "packaged docs/ differs"

# Every relative link (Markdown's ](target), src="target") in the package leads into it.
links=$(cd "$work_dir/unpacked" && for page in ./*.md docs/*.md; do
    grep -o -e '](\([^)]*\))' -e 'src="[^"]*"' "$page" | sed "s|^](||; s|)\$||; s|^src=\"||; s|\"\$||; s|#.*||" |
        grep -v -e '^$' -e '://' | sed "s|^|$(dirname "$page")/|"
done)
[ -n "$links" ] || fail "no relative link in the package's Markdown"
for link in $links; do [ -e "$work_dir/unpacked/$link" ] || fail "the package lacks $link"; done

/usr/bin/python3 - "$work_dir/dist-1/$artifact" "$version" "$work_dir/dist-1/Murkscope64.exe" \
    "$source_dir/tests/output_tests.cpp" "$source_dir" <<'END' ||
import glob, hashlib, json, os, re, sys, yaml
path, version, exe, output_tests, source_dir = sys.argv[1:]
doc, sha256 = yaml.safe_load(open(path, encoding="utf-8")), hashlib.sha256(open(exe, "rb").read()).hexdigest()
# The fields of -j's shell and scan objects, in the order the tool writes
# them: the output test's lists, which it checks against the tool's lines.
lists = dict((name, re.findall(r'"(\w+)"', body)) for name, body in
             re.findall(r"(SHELL_FIELDS|SCAN_FIELDS)\[\] = \{([^}]*)\}", open(output_tests, encoding="utf-8").read()))
shell, scan = lists.get("SHELL_FIELDS", []), lists.get("SCAN_FIELDS", [])
# The keys an artifact may set, from Velociraptor's artifact.proto (Artifact, ArtifactSource, Tool, ColumnType).
known = {"": "name aliases description author reference references required_permissions implied_permissions "
         "impersonate resources tools precondition parameters type sources imports export reports column_types",
         "sources": "name description precondition query queries notebook", "column_types": "name type description",
         "tools": "name url github_project github_asset_regex serve_locally expected_hash version"}
unknown = sorted(set(doc) - set(known[""].split())) + ["%s.%s" % (part, key) for part in ("sources", "tools", "column_types")
                                                       for item in doc.get(part) or [] for key in item if key not in known[part].split()]
tool, sources = (doc.get("tools") or [{}])[0], doc.get("sources") or []
queries = dict((source.get("name"), source.get("query") or "") for source in sources)
vql, scan_query = "\n".join([doc.get("export") or ""] + list(queries.values())), queries.get("Scan", "")
calls = re.findall(r"FetchBinary\(([^)]*)\)", vql)
missing = [what for what, holds in {
    "only keys of the artifact format, not %s" % unknown: not unknown,
    "a valid name, type CLIENT": re.fullmatch(r"[A-Za-z]\w*(\.[A-Za-z]\w*)+", doc.get("name", "")) and doc.get("type") == "CLIENT",
    "the tool pinned to the released executable": [tool.get(k) for k in ("name", "version", "expected_hash")] == ["Murkscope64", version, sha256],
    "the upload and the hash to compare in its description": all(t in doc.get("description", "") for t in (sha256, "tools upload --name Murkscope64")),
    "FetchBinary called with ToolName alone, no Version": calls and all(re.findall(r"(\w+)\s*=", call) == ["ToolName"] for call in calls),
    "Shells and Scan in one scope": [(s.get("name"), "precondition" in s) for s in sources] == [("Shells", False), ("Scan", False)],
    # Velociraptor runs an artifact's export before every cell of its collections' and hunts'
    # notebooks, on the server: the tool is fetched and run in the Shells source instead.
    "an export that neither fetches nor runs the tool": not re.search(r"execve|FetchBinary|<=", doc.get("export") or ""),
    "the tool run with -j, only lines that begin with { parsed": 'execve(argv=[Path, "-j"], sep="\\n"' in vql
        and re.search(r"parse_json\(data=Stdout\) AS Line\s+FROM Output WHERE Stdout =~ '\^\[\{\]'", vql),
    "one Scan row either way, with the exit status": "ReturnCode AS tool_exit_code" in scan_query
        and re.fullmatch(r"\s*SELECT \* FROM if\(condition=\w+,\s*then=\{.*\},\s*else=\{.*\}\)\s*", scan_query, re.S)
        and all(len(re.findall(r"\bAS %s\b" % f, scan_query)) == 2 for f in scan + ["tool_exit_code", "tool_stderr"]),
    "the shell object's fields as the Shells columns": re.findall(r"Line\.(\w+) AS (\w+)", queries.get("Shells", "")) == [(f, f) for f in shell],
    "started typed as a timestamp": {"name": "started", "type": "timestamp"} in (doc.get("column_types") or []),
}.items() if not holds]
# Every complete example line of the documents (one that begins with {"type": and
# leaves nothing out with "…") is JSON with exactly the fields the tool writes,
# in order, and so are the objects inside it.
class Object(list):  # a JSON object as its (key, value) pairs, in order, repeats kept
    def names(self): return [name for name, _ in self]
    def value(self, name): return dict(list(self)).get(name)
expected = {"shell": [shell], "scan": [scan, scan + ["ended"]],
            "ended": [["type", "host", "pid", "name", "started", "ended"]]}
inner = {"parent": ["pid", "name", "path", "running"], "ancestors": ["pid", "name", "started"],
         "children": ["pid", "name", "started"]}
wrong = []
for page in [os.path.join(source_dir, "README.md")] + sorted(glob.glob(os.path.join(source_dir, "docs", "*.md"))):
    for number, text in enumerate(open(page, encoding="utf-8"), 1):
        if not text.startswith('{"type":') or "\u2026" in text:
            continue
        where = "%s:%d" % (os.path.relpath(page, source_dir), number)
        try:
            line = json.loads(text, object_pairs_hook=Object)
        except ValueError as error:
            wrong.append("%s: not a JSON line (%s)" % (where, error))
            continue
        kind = line.value("type")
        if kind not in expected:
            wrong.append("%s: a line of type %s, which the tool does not write" % (where, kind))
        elif line.names() not in expected[kind]:
            wrong.append("%s: a %s line with the fields %s, not %s" % (where, kind, line.names(), expected[kind][0]))
        for name, keys in inner.items():
            value = line.value(name)
            for item in [value] if isinstance(value, Object) else value if isinstance(value, list) else []:
                if not isinstance(item, Object) or item.names() != keys:
                    wrong.append("%s: %s holds %s, not an object of %s" % (where, name, item.names() if isinstance(item, Object) else item, keys))
sys.exit("".join("FAIL: %s lacks %s\n" % (path, what) for what in missing) +
         "".join("FAIL: %s\n" % what for what in wrong) or None)
END
    fail "$artifact or an example line of the documents is not as it should be"

finish package
echo "package $package: $(cut -d' ' -f1 "$work_dir/dist-1/$package.sha256")"
echo "Murkscope64.exe: $(cut -d' ' -f1 "$work_dir/dist-1/Murkscope64.exe.sha256")"
