#!/usr/bin/env bash
# The demo: builds the bundled demo package (demo/upkit.toml) into an update
# executable, copies the sample product to a scratch folder and runs the
# installer on it under Wine. With a display the user clicks through it;
# without one it runs inside Xvfb and the test robot clicks through, writing
# screenshots and the final log (JSON) to build/demo/.
# Expects the native and win32 builds (make demo builds them first).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=${UPKIT_NATIVE_BUILD:-$root/build/native}
win=${UPKIT_WIN32_BUILD:-$root/build/win32}
out=$root/build/demo
upkit=$native/tools/upkit/upkit
stub=$win/app/upkit-stub.exe
robot=$win/tests/robot/upkit-robot.exe
pe=$win/tests/e2e/upkit-embed.exe   # any small PE serves as the product's tool.exe
export UPKIT_WINEPREFIX=$win/wineprefix

wine_run() { "$root/scripts/wine-run.sh" "$@"; }

# No display: the robot drives the installer (this script again, inside Xvfb).
drive() {
  local caption="Sample Editor Update" status=0
  wine_run "$out/Setup.exe" &
  local installer=$!
  r() { wine_run "$robot" "$@"; }
  r wait "License agreement" 60000
  r click "License agreement" "I accept the terms in the License Agreement"
  r shot "License agreement" "$out/1-licence.png"
  r click "License agreement" "Next>"
  r wait "$caption" 30000
  r waitfor "$caption" "Install" 30000
  r click "$caption" "Backup the files that will be modified"
  r shot "$caption" "$out/2-wizard.png"
  r click "$caption" "Install"
  r waitfor "$caption" "Close" 60000
  sleep 1
  r shot "$caption" "$out/3-results.png"
  r dump "$caption" > "$out/results.json"
  r click "$caption" "Close"
  wait "$installer" || status=$?
  echo "demo: installer ended with exit code $status"
  WINEPREFIX=$UPKIT_WINEPREFIX wineserver -k 2>/dev/null || true
  drive_scaled
}

# The wizard at 150 %: the same installer in a Wine prefix of its own whose
# screen reports 144 DPI (the build tree's prefix keeps 96 for the tests).
drive_scaled() {
  local caption="Sample Editor Update"
  export UPKIT_WINEPREFIX=$win/wineprefix-dpi144
  for key in 'HKCU\Control Panel\Desktop' 'HKCC\Software\Fonts'; do
    wine_run reg add "$key" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
  done
  wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  wine_run "$out/Setup.exe" &
  local installer=$!
  r() { wine_run "$robot" "$@"; }
  r wait "License agreement" 60000
  r click "License agreement" "I accept the terms in the License Agreement"
  r click "License agreement" "Next>"
  r wait "$caption" 30000
  r waitfor "$caption" "Install" 30000
  r click "$caption" "Backup the files that will be modified"
  sleep 1
  r shot "$caption" "$out/5-wizard-150.png"
  r click "$caption" "Cancel"
  wait "$installer" || true
  WINEPREFIX=$UPKIT_WINEPREFIX wineserver -k 2>/dev/null || true
}
if [ "${1:-}" = "--drive" ]; then
  drive
  exit 0
fi

cmake --build "$win" --target upkit-stub upkit-robot upkit-embed >/dev/null
cmake --build "$native" --target upkit >/dev/null

rm -rf "$out"
mkdir -p "$out/product/bin"
cp -r "$root/demo/product/." "$out/product/"
cp "$pe" "$out/product/bin/tool.exe"
"$upkit" build "$root/demo/upkit.toml" -o "$out/Setup.exe" --stub "$stub"
echo "demo: built $out/Setup.exe ($(stat -c %s "$out/Setup.exe") bytes; stub $(stat -c %s "$stub") bytes)"

if [ -n "${DISPLAY:-}" ] && [ -z "${UPKIT_DEMO_ROBOT:-}" ]; then
  echo "demo: running the installer on $DISPLAY; the product folder is $out/product"
  status=0
  wine_run "$out/Setup.exe" || status=$?
  echo "demo: installer ended with exit code $status"
  exit 0
fi

"$root/scripts/wine-prefix.sh" "$UPKIT_WINEPREFIX"
xvfb-run -a -s "-screen 0 1024x768x24" "$0" --drive
echo "demo: screenshots in $out: $(cd "$out" && ls *.png | tr '\n' ' ')"
echo "demo: product folder after the update:"
(cd "$out/product" && ls -l . bin)
