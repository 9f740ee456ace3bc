# Sourced by the scripts in this folder: installs what a fresh machine lacks.

# need_packages PKG... installs the Debian packages that are not installed
# yet, through sudo when not root. A user without root or sudo cannot install
# them here, so they are named with the command for whoever has root.
need_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "kesp: missing packages: ${missing[*]}; install them as root with:" \
        "apt-get install ${missing[*]}" >&2
      return 1
    fi
    sudo=(sudo)
  fi
  echo "installing: ${missing[*]}" >&2
  "${sudo[@]}" apt-get update -qq >&2
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
}

# need_compile_tools [PKG...] installs what configuring and building need: a
# compiler, CMake, Ninja, the JSON library kesp-batch writes its report with,
# Nettle for the images' SHA-256 in that report, SQLite's and
# PostgreSQL's client libraries for the unit record, and GoogleTest, which
# the configure step looks for unless KESP_TESTS is off, cpp-httplib for
# kesp-units' dashboard (found through pkg-config); and PKG..., in the same
# apt-get run.
need_compile_tools() {
  need_packages g++ cmake ninja-build nlohmann-json3-dev nettle-dev libsqlite3-dev libpq-dev \
    libgtest-dev libcpp-httplib-dev pkg-config "$@"
}

# need_build_tools installs all that building and testing need: the tests
# also render the manual pages, build and read the Debian package, read
# kesp-batch's JUnit reports with python3's XML parser, drive the bash
# completions, which build on bash-completion's helpers, read captures
# with tshark through the Wireshark dissector and run its logic under the
# Lua of newer Wireshark releases (lua5.4), run a PostgreSQL server
# of their own for the unit record, and watch simulated boards' connections
# and make network namespaces with iproute2, run the documentation's
# examples, which use sqlite3 and jq, and open the dashboard in a headless
# chromium driven by selenium and read its metrics with the Prometheus
# client's strict parser. tshark's package asks whether
# users other than root may capture: answered no beforehand, so that the
# install runs unattended.
need_build_tools() {
  if ! dpkg-query -W -f='${Status}' tshark 2>/dev/null | grep -q "install ok installed"; then
    local sudo=()
    [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null && sudo=(sudo)
    echo 'wireshark-common wireshark-common/install-setuid boolean false' |
      "${sudo[@]}" debconf-set-selections 2>/dev/null || true
  fi
  need_compile_tools man-db groff-base dpkg-dev python3 bash-completion tshark lua5.4 \
    postgresql iproute2 sqlite3 jq chromium chromium-driver python3-selenium python3-prometheus-client
}

# What scripts/demo and scripts/test configure build/ with, the same in
# both so that the second rebuilds nothing of the first: the build type a packager and the benches use, Release,
# since GCC's -O3 shows warnings that -O2 does not and the project's own
# builds make them errors. No debug data: the sanitizer build is the one
# whose reports need it. Each library's sources are compiled as one unit,
# which parses the headers they share (the JSON library's above all) once:
# the build takes about 60 % of the processor time. The sanitizer build
# compiles every source on its own, as a packager's build does, so a source
# that leans on its neighbour's includes still fails there.
shipped_build=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_UNITY_BUILD=ON)

# configure_build DIR TARGET [CMAKE_ARGS...] configures DIR and builds
# TARGET there (all for everything), warnings as errors: the project's own
# builds keep every warning out, which a packager's plain configure does
# not ask of a compiler we never tried.
configure_build() {
  local dir=$1 target=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DKESP_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" --target "$target"
}
