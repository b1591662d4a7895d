#!/usr/bin/env bash
# Installs a finished build into a temporary prefix and checks that the tree
# works on its own: layout, SONAME and RUNPATH, --help/--version, the kt300ctl
# demo against its built-in simulator, stagedesk on the installed drawing, and
# the example host built with the CMake package and with pkg-config, run
# against the installed kt300sim.
set -uo pipefail

while (($#)); do
  case $1 in
    --cmake) cmake=$2 ;;
    --build-dir) build_dir=$2 ;;
    --source-dir) source_dir=$2 ;;
    --cxx) cxx=$2 ;;
    --make) make_program=$2 ;;
    --generator) generator=$2 ;;
    --version) version=$2 ;;
    --gui) gui=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
note() { echo "-- $*"; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/korva_install.XXXXXX") || exit 1
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

prefix=$tmp/prefix
elsewhere=$tmp/elsewhere
mkdir -p "$elsewhere" "$tmp/home"

# Nothing from the caller's environment or home may help the installed tree.
for var in $(env | sed -n 's/^\(KORVA_[A-Za-z0-9_]*\)=.*/\1/p'); do unset "$var"; done
unset LD_LIBRARY_PATH LD_PRELOAD
export HOME=$tmp/home XDG_DATA_HOME=$tmp/home/.local/share XDG_CONFIG_HOME=$tmp/home/.config
mkdir -m 700 "$tmp/run"
export XDG_RUNTIME_DIR=$tmp/run QT_QPA_PLATFORM=offscreen
export PATH=$prefix/bin:$PATH

note "install into $prefix"
if ! "$cmake" --install "$build_dir" --prefix "$prefix" > "$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  fail "cmake --install failed"
  exit 1
fi

# --- Layout ---
expect=(
  bin/kt300ctl bin/kt300sim
  lib/libKORVAKT3002.so lib/libKORVAKT3002.so.1
  lib/libkorva_ftd2xx.so lib/libkorva_ftd2xx_sim.so
  include/korva/KORVAKT3002Ctl.h include/korva/KorvaModule.h include/korva/Dispatch.h
  include/korva/Variant.h include/korva/DialogProvider.h include/korva/KorvaMembers.h
  lib/cmake/KORVAKT3002/KORVAKT3002Config.cmake
  lib/cmake/KORVAKT3002/KORVAKT3002ConfigVersion.cmake
  lib/cmake/KORVAKT3002/KORVAKT3002Targets.cmake
  lib/pkgconfig/korvakt3002.pc
  share/korva/Language/English.ini share/korva/Language/Chinese.ini
  share/korva/Language/kt300ocx_English.ini share/korva/Language/kt300ocx_Chinese.ini
  share/korva/examples/demo.kts share/korva/examples/square.pla
  share/korva/examples/square-stagedesk.pla share/korva/examples/outline.dxf
  share/korva/examples/host/CMakeLists.txt share/korva/examples/host/korva_host.cpp
  lib/udev/rules.d/60-korva-ftdi.rules
)
if [ "$gui" = 1 ]; then
  expect+=(
    bin/stagedesk bin/UsbFifo lib/libKORVAKT3002_ui.so.1 lib/libcadio.so
    share/applications/korva-stagedesk.desktop share/applications/korva-usbfifo.desktop
    share/icons/hicolor/scalable/apps/korva-stagedesk.svg
    share/icons/hicolor/scalable/apps/korva-usbfifo.svg
  )
fi
for f in "${expect[@]}"; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
# Every header the control's header includes is installed beside it.
for h in "$prefix"/include/korva/*.h; do
  for inc in $(sed -n 's/^#include "\(.*\)"/\1/p' "$h"); do
    [ -e "$prefix/include/korva/$inc" ] || fail "$(basename "$h") includes $inc, which is not installed"
  done
done

# Only the public headers: nothing of the protocol, the link or the USB library.
for h in KT300Protocol.h KorvaComPort.h KorvaUSB.h SerialPort.h UsbFifoInterface.h D2xx.h \
         KORVAKT3002CtlInternal.h; do
  [ ! -e "$prefix/include/korva/$h" ] || fail "installed, but private: include/korva/$h"
done

soname=$(readelf -d "$(readlink -f "$prefix/lib/libKORVAKT3002.so")" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libKORVAKT3002.so.1 ] || fail "SONAME of the module is '$soname'"

# Programs and libraries find each other through $ORIGIN only, never the build tree.
for elf in "$prefix"/bin/* "$prefix"/lib/*.so*; do
  [ -L "$elf" ] && continue
  runpath=$(readelf -d "$elf" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p;s/.*(RPATH).*\[\(.*\)\]/\1/p')
  case $runpath in
    "" | '$ORIGIN/../lib' | '$ORIGIN/../lib:'* ) ;;
    *) fail "$(basename "$elf") has run path '$runpath'" ;;
  esac
  case $runpath in *"$build_dir"*) fail "$(basename "$elf") refers to the build tree" ;; esac
done

# --- --help and --version ---
check_help() {  # program, then the environment variables its help must name
  local program=$1
  shift
  local out
  # Neither needs a display.
  local bare=(env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY)
  if ! out=$(cd "$elsewhere" && "${bare[@]}" "$program" --help 2>&1); then
    fail "$program --help failed: $out"
    return
  fi
  for var in "$@"; do
    grep -q -- "$var" <<< "$out" || fail "$program --help does not mention $var"
  done
  if ! out=$(cd "$elsewhere" && "${bare[@]}" "$program" --version 2>&1); then
    fail "$program --version failed: $out"
    return
  fi
  grep -q -- "$version" <<< "$out" || fail "$program --version prints '$out'"
}
check_help kt300ctl KORVA_COM KORVA_FTD2XX KORVA_SIM_USB KORVA_TRACE
check_help kt300sim KORVA_TRACE
if [ "$gui" = 1 ]; then
  check_help UsbFifo KORVA_FTD2XX KORVA_SIM_USB KORVA_TRACE
  check_help stagedesk KORVA_COM KORVA_FTD2XX KORVA_CADIO KORVA_TRACE
fi

# --- The demo script, from another directory, through PATH ---
note "kt300ctl demo"
if ! (cd "$elsewhere" && kt300ctl --sim --sim-baud 0 "$prefix/share/korva/examples/demo.kts") \
    > "$tmp/demo.out" 2>&1; then
  cat "$tmp/demo.out" >&2
  fail "kt300ctl demo failed"
fi
grep -q '^Connect() = TRUE' "$tmp/demo.out" || fail "demo: no connection"
grep -q '^STARTRUN("demo") = TRUE' "$tmp/demo.out" || fail "demo: the stored plan did not start"
if grep -q '^wait-stop(.*) = FALSE' "$tmp/demo.out"; then fail "demo: an axis did not stop"; fi
grep -q '^GetPosition(0) = [-0-9.e]*$' "$tmp/demo.out" || fail "demo: no final position"
grep -q '^GetErrorCode() = 0$' "$tmp/demo.out" || fail "demo: the controller reported an error"

# USB mode loads the simulator D2XX library from <prefix>/lib.
if ! (cd "$elsewhere" && kt300ctl --sim --usb KT0001 -e Connect -e GetSystemInfo -e DisConnect) \
    > "$tmp/usb.out" 2>&1; then
  cat "$tmp/usb.out" >&2
  fail "kt300ctl --sim --usb failed"
fi
grep -q '^Connect() = TRUE' "$tmp/usb.out" || fail "USB mode: no connection"

# --- Desktop entries point into the tree ---
if [ "$gui" = 1 ]; then
  for entry in "$prefix"/share/applications/*.desktop; do
    for key in Exec Icon; do
      target=$(sed -n "s/^$key=//p" "$entry")
      [ -e "$target" ] || fail "$(basename "$entry"): $key=$target does not exist"
    done
    if command -v desktop-file-validate > /dev/null; then
      desktop-file-validate "$entry" || fail "$(basename "$entry") is not a valid desktop entry"
    fi
  done
fi

# --- stagedesk: module, language files and simulator from the installed tree ---
if [ "$gui" = 1 ]; then
  note "stagedesk --screenshots"
  if ! (cd "$elsewhere" && timeout 120 stagedesk --screenshots "$tmp/shots") \
      > "$tmp/shots.out" 2>&1; then
    cat "$tmp/shots.out" >&2
    fail "stagedesk --screenshots failed"
  fi
  grep -q 'message: Device opened' "$tmp/shots.out" || fail "stagedesk did not open the simulator"
  if grep -q 'Load language resource failure' "$tmp/shots.out"; then
    fail "stagedesk did not find share/korva/Language"
  fi
  [ -s "$tmp/shots/parameters-chinese.png" ] || fail "stagedesk wrote no screenshots"
fi

# --- stagedesk on the installed drawing ---
if [ "$gui" = 1 ]; then
  if (cd "$elsewhere" && stagedesk --help 2>&1) | grep -q -- '--dxf-path'; then
    note "stagedesk --dxf-path"
    if ! (cd "$elsewhere" && stagedesk --dxf-path "$prefix/share/korva/examples/outline.dxf") \
        > "$tmp/dxf.out" 2>&1; then
      cat "$tmp/dxf.out" >&2
      fail "stagedesk --dxf-path failed"
    fi
    # The plate's outline has lines and arcs; the calls name both.
    grep -q '^GoInterpolationline2(' "$tmp/dxf.out" || fail "stagedesk --dxf-path: no line calls"
    grep -q '^GoInterpolationArc(' "$tmp/dxf.out" || fail "stagedesk --dxf-path: no arc calls"
  else
    note "stagedesk has no --dxf-path yet: skipped"
  fi
fi

# --- The example host, built against the installed package ---
note "example host with find_package"
host_src=$prefix/share/korva/examples/host
if ! "$cmake" -S "$host_src" -B "$tmp/host-build" -G "$generator" \
      -DCMAKE_MAKE_PROGRAM="$make_program" -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_PREFIX_PATH="$prefix" > "$tmp/host.log" 2>&1 ||
   ! "$cmake" --build "$tmp/host-build" >> "$tmp/host.log" 2>&1; then
  cat "$tmp/host.log" >&2
  fail "the example host does not build against the installed package"
fi

note "example host with pkg-config"
if command -v pkg-config > /dev/null; then
  if ! flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs korvakt3002); then
    fail "pkg-config does not know korvakt3002"
  elif ! "$cxx" -std=c++20 -Wall -Wextra -o "$tmp/korva_host_pc" "$host_src/korva_host.cpp" \
           $flags -Wl,-rpath,"$prefix/lib" 2> "$tmp/host-pc.log"; then
    cat "$tmp/host-pc.log" >&2
    fail "the example host does not build with pkg-config's flags"
  fi
else
  note "no pkg-config: skipped"
fi

# The public headers alone (nothing but the installed include directory on
# the path) declare none of the lower layers' names, and the object's size is
# one pointer whatever the link layer holds. Each declaration below clashes
# with one the headers would have brought in.
note "public headers without the link layer"
cat > "$tmp/probe.cpp" <<'PROBE'
#include <korva/KORVAKT3002Ctl.h>
#include <korva/KorvaMembers.h>
#include <korva/KorvaModule.h>
// A late-binding host names members by the installed ids.
static_assert(static_cast<int>(korva::Dispid::GoPosition) == 19);
static_assert(static_cast<int>(korva::Dispid::AboutBox) == -552);
struct DWORD {};
struct ULONG {};
struct termios {};
class SerialPort {};
class KorvaComPort {};
static_assert(sizeof(CKORVAKT3002Ctrl) == sizeof(void*),
              "the control object holds more than its pointer to private state");
int main() {
    CKORVAKT3002Ctrl control;
    return control.GetIsOpen() ? 1 : 0;
}
PROBE
if ! "$cxx" -std=c++20 -Wall -Wextra -I"$prefix/include" -o "$tmp/probe" "$tmp/probe.cpp" \
       -L"$prefix/lib" -lKORVAKT3002 -Wl,-rpath,"$prefix/lib" > "$tmp/probe.log" 2>&1; then
  cat "$tmp/probe.log" >&2
  fail "the public headers declare link-layer names or the object's size depends on them"
elif ! "$tmp/probe"; then
  fail "a host built against the public headers alone does not run"
fi

# Both hosts against the installed simulator on COM1.
"$prefix/bin/kt300sim" --baud 0 --link "$tmp/ttyKT" > "$tmp/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [ -e "$tmp/ttyKT" ] && break
  sleep 0.1
done
[ -e "$tmp/ttyKT" ] || fail "kt300sim made no link"
for host in "$tmp/host-build/korva_host" "$tmp/korva_host_pc"; do
  [ -x "$host" ] || continue
  note "run $(basename "$host")"
  if ! (cd "$elsewhere" && KORVA_COM1=$tmp/ttyKT timeout 60 "$host") > "$tmp/run.out" 2>&1; then
    cat "$tmp/run.out" >&2
    fail "$(basename "$host") failed against the simulator"
    continue
  fi
  cat "$tmp/run.out"
  grep -q '^connected on COM1$' "$tmp/run.out" || fail "$(basename "$host"): not connected"
  grep -q '^model: KT3007Q$' "$tmp/run.out" || fail "$(basename "$host"): model not read"
  grep -q '^Invoke GetPosition(1) = 0$' "$tmp/run.out" || fail "$(basename "$host"): Invoke failed"
  grep -q '^error code: 0$' "$tmp/run.out" || fail "$(basename "$host"): an error was left"
done

# A port without a device: a clear message, no hang.
if [ -x "$tmp/host-build/korva_host" ]; then
  (cd "$elsewhere" && KORVA_COM1=$tmp/no-such-device timeout 60 "$tmp/host-build/korva_host") \
    > "$tmp/nodev.out" 2>&1
  status=$?
  [ "$status" = 1 ] || fail "korva_host without a device ended with status $status"
  grep -q 'cannot connect on COM1' "$tmp/nodev.out" || fail "korva_host without a device: no message"
fi

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "installed tree OK"
