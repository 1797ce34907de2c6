# Shared by the release checks, sourced with their arguments in place:
#   SOURCE_DIR WORK_DIR REFERENCE_EXE VERSION BUILD_TYPE
# Sets those, empties WORK_DIR, and gives a failure count.
source_dir=$1
work_dir=$2
reference=$3
version=$4
build_type=$5

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

rm -rf "$work_dir"
mkdir -p "$work_dir"

# same_as_reference FILE: FILE is the build's own executable. Held to it only
# when that build is a Release one, as the package's is.
same_as_reference() {
    if [ "$build_type" = Release ]; then
        cmp "$1" "$reference" || fail "$1 differs from $reference"
    else
        echo "note: $reference is a '$build_type' build, not compared with the package's"
    fi
}

# finish WHAT: fails the check when anything failed.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures $1 checks failed" >&2
        exit 1
    fi
}
