#!/bin/sh
# Makes symbolic links on the Linux side for the Windows build's link test under Wine, whose
# CreateSymbolicLinkW makes none: DIR/premade-links holds a directory, a file and links to both,
# and a directory link at the end of a path longer than MAX_PATH.
set -eu
out=$1/premade-links
rm -rf "$out"
mkdir -p "$out/dir"
printf x > "$out/file.txt"
ln -s dir "$out/to-dir"
ln -s file.txt "$out/to-file"
ln -s dir "$out/更新"

# The same beyond MAX_PATH: a directory and a link to it at the end of a path of more than 300
# characters, which Windows takes only in its long form. Its place, relative to premade-links,
# is written to premade-links/deep.txt.
deep=deep
for i in 1 2 3 4 5; do
    deep=$deep/a-directory-nested-beyond-the-limit-of-plain-windows-paths-$i
done
mkdir -p "$out/$deep/dir"
ln -s dir "$out/$deep/to-dir"
printf '%s' "$deep" > "$out/deep.txt"
