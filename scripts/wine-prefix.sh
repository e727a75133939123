# Sourced by the test steps that run Windows programs: makes a temporary Wine
# prefix with a HOME of its own, starts one wineserver for the runs that
# follow, and removes it all when the calling script exits.

wine_work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-wine.XXXXXX")
export WINEPREFIX="$wine_work/prefix"
cleanup_wine_prefix() {
  local prefix
  for prefix in "$wine_work/prefix" "$wine_work"/copy-*/prefix; do
    [ -d "$prefix" ] || continue
    WINEPREFIX=$prefix timeout 30s wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$prefix timeout 30s wineserver -w >/dev/null 2>&1 || true
  done
  rm -rf "$wine_work"
}
trap cleanup_wine_prefix EXIT
# Stopped by a time limit or by hand, the script still cleans up.
trap 'exit 143' TERM INT HUP

# Wine links the prefix's Documents folder to HOME's, and the tests fill that
# folder. No display, no debug output, no Mono or Gecko.
export HOME="$wine_work/home" WINEDEBUG=-all DISPLAY= LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_DOCUMENTS_DIR WAYLAND_DISPLAY
mkdir -p "$HOME"
# Wine's services outlive the programs they start with; they must not hold
# on to the calling script's output.
if ! timeout 5m wineboot -i >"$wine_work/wineboot.log" 2>&1 </dev/null; then
  cat "$wine_work/wineboot.log" >&2
  echo "wineboot failed or did not end within 5 minutes" >&2
  exit 1
fi
# One server for every run that follows, started once the first has ended.
timeout 2m wineserver -w || { echo "the Wine server did not end within 2 minutes" >&2; exit 1; }
wineserver -p >/dev/null 2>&1 </dev/null

# The Windows user's Documents folder, as a Linux path.
wine_documents() {
  local folder
  for folder in "$WINEPREFIX"/drive_c/users/*/Documents; do
    case "$folder" in */Public/*) continue ;; esac
    [ -d "$folder" ] && { echo "$folder"; return 0; }
  done
  return 1
}

# Points WINEPREFIX and HOME at a copy of the prefix, $wine_work/copy-NAME,
# with a HOME (and so a Documents folder) and a Wine server of its own:
# programs there run beside those of the prefix and of other copies,
# whatever they change in its registry, drives or Documents folder. Wine
# rewrites only the registry files in place of their own; the rest of the
# prefix is shared by hard links.
use_wine_prefix_copy() {
  local copy=$wine_work/copy-$1
  local registry folder
  mkdir -p "$copy/home"
  cp -al "$wine_work/prefix" "$copy/prefix"
  for registry in "$copy"/prefix/*.reg; do
    cp --remove-destination "$wine_work/prefix/${registry##*/}" "$registry"
  done
  # The user's folders, Documents among them, are links to HOME.
  for folder in "$copy"/prefix/drive_c/users/*/*; do
    if [ -L "$folder" ] && [ "$(readlink -f "$folder")" = "$(readlink -f "$wine_work/home")" ]; then
      ln -sfn "$copy/home" "$folder"
    fi
  done
  export WINEPREFIX=$copy/prefix HOME=$copy/home
  wineserver -p >/dev/null 2>&1 </dev/null
}
