#!/bin/sh
# lumo: starts the installed LUMO program in the player's own LUMO folder.
#
# The program reads sys/sys.ini, skin/, plugin/ and writes its online update relative to its
# current directory, so it needs a folder of its own that the player may write to. This launcher
# keeps one under the XDG data directory ($XDG_DATA_HOME/lumo, by default ~/.local/share/lumo),
# fills in from the installed copy whatever is missing there, and starts the program in it.
#
# - sys/sys.ini, skin/skin.ini and the skin files are copied once and then belong to the player:
#   edits survive upgrades, and a file the player deletes comes back as shipped.
# - the shipped plug-ins are symbolic links into the installed program, so that they always
#   match the installed version; a plug-in the player puts there as a real file is left alone.
set -eu

# The installed layout around this script: PREFIX/bin/lumo, PREFIX/lib/lumo, PREFIX/share/lumo.
self="$(readlink -f "$0")"
prefix="$(dirname "$(dirname "$self")")"
libdir="$prefix/lib/lumo"
sharedir="$prefix/share/lumo"
program="$libdir/lumo"

data_home="${XDG_DATA_HOME:-}"
# The XDG rules ignore a relative XDG_DATA_HOME.
case "$data_home" in
  /*) ;;
  *) data_home="${HOME:?HOME is not set}/.local/share" ;;
esac
folder="$data_home/lumo"

for arg in "$@"; do
  case "$arg" in
    --) break ;;
    -h|--help)
      "$program" --help
      cat <<EOF

Your LUMO folder: $folder
  The lumo command starts LUMO there (\$XDG_DATA_HOME/lumo, by default ~/.local/share/lumo).
  On first start it is filled from $sharedir: sys/sys.ini (the group
  directories and the update server), skin/ and plugin/. Your edits there are kept across
  upgrades; delete a file to get the shipped one back at the next start.
EOF
      exit 0 ;;
    --version)
      exec "$program" --version ;;
  esac
done

# Copies every file under $sharedir/$1 that is missing in the folder.
seed() {
  [ -d "$sharedir/$1" ] || return 0
  mkdir -p "$folder/$1"
  for source in "$sharedir/$1"/*; do
    [ -f "$source" ] || continue
    target="$folder/$1/$(basename "$source")"
    if [ ! -e "$target" ] && [ ! -L "$target" ]; then
      cp "$source" "$target.new.$$" && mv -f "$target.new.$$" "$target"
    fi
  done
}

if ! mkdir -p "$folder" 2>/dev/null || [ ! -w "$folder" ]; then
  echo "lumo: cannot write to $folder; set XDG_DATA_HOME to a folder of your own" >&2
  exit 1
fi
seed sys
seed skin

# Shipped plug-ins: links to the installed modules. A link that points elsewhere (an earlier
# install) is pointed at the installed module again; links into the installed program whose
# module is gone (dropped by an upgrade) are removed.
mkdir -p "$folder/plugin"
if [ -d "$libdir/plugin" ]; then
  for module in "$libdir/plugin"/*.so; do
    [ -f "$module" ] || continue
    target="$folder/plugin/$(basename "$module")"
    if [ -L "$target" ] || [ ! -e "$target" ]; then
      [ "$(readlink "$target" 2>/dev/null || true)" = "$module" ] || ln -sfn "$module" "$target"
    fi
  done
fi
for link in "$folder/plugin"/*; do
  [ -L "$link" ] || continue
  case "$(readlink "$link")" in
    "$libdir"/plugin/*) [ -e "$link" ] || rm -f "$link" ;;
  esac
done

cd "$folder"
exec "$program" "$@"
