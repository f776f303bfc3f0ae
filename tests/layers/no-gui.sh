#!/bin/sh
# Fails when any of the given binaries loads Qt Gui or Qt Widgets.
status=0
for f in "$@"; do
  if ldd "$f" | grep -E 'libQt6(Gui|Widgets)'; then
    echo "$f loads Qt Gui or Widgets"
    status=1
  fi
done
[ $status -eq 0 ] && echo "none of $# binaries loads Qt Gui or Widgets"
exit $status
