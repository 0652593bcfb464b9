#!/bin/sh
# Makes symbolic links on the Linux side for the Windows build's link test under Wine, whose
# CreateSymbolicLinkW makes none: DIR/premade-links holds a directory, a file and links to both.
set -eu
out=$1/premade-links
rm -rf "$out"
mkdir -p "$out/dir"
printf x > "$out/file.txt"
ln -s dir "$out/to-dir"
ln -s file.txt "$out/to-file"
ln -s dir "$out/更新"
