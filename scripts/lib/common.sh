# Shared by the project's scripts: where things are, and the packages the
# build and the tests need on Debian.

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR="$ROOT/build"

# command-or-file:package pairs; a pair is missing when the command is not on
# PATH and no such file exists.
MURKSCOPE_NEEDS="
cmake:cmake
make:make
x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
x86_64-w64-mingw32-gcc-posix:gcc-mingw-w64-x86-64-posix
x86_64-w64-mingw32-windres:binutils-mingw-w64-x86-64
/usr/lib/wine/wine64:wine64
/usr/bin/wineserver:wine
/usr/src/googletest/CMakeLists.txt:googletest
/usr/bin/python3:python3
/usr/lib/python3/dist-packages/yaml/__init__.py:python3-yaml
tmux:tmux
zip:zip
unzip:unzip
osslsigncode:osslsigncode
openssl:openssl
clang++:clang
/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a:libclang-rt-14-dev
"

# ensure_packages [extra command:package pairs...]
# Installs what is missing with apt-get when run as root; otherwise names the
# packages and stops.
ensure_packages() {
    missing=""
    for pair in $MURKSCOPE_NEEDS "$@"; do
        what=${pair%%:*}
        package=${pair#*:}
        case "$what" in
            /*) [ -e "$what" ] && continue ;;
            *) command -v "$what" >/dev/null 2>&1 && continue ;;
        esac
        case " $missing " in *" $package "*) ;; *) missing="$missing $package" ;; esac
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" = 0 ]; then
        echo "Installing:$missing" >&2
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >&2
        # shellcheck disable=SC2086
        apt-get install -y -qq --no-install-recommends $missing >&2
    else
        echo "Missing packages:$missing" >&2
        echo "Install them with: sudo apt-get install$missing" >&2
        exit 1
    fi
}

# configure_build: configures build/ with the cross preset when needed.
configure_build() {
    if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
        cmake --preset mingw -S "$ROOT" >/dev/null
    fi
}
