#!/usr/bin/env bash
# Associates .psd documents in the test prefix with the stand-in editor, so
# that the shell's "open" really starts it:
#   register_editor.sh PREFIX EDITOR.exe
set -u
export WINEPREFIX="$1"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
editor=$(winepath -w "$2" 2>/dev/null) || { echo "winepath failed"; exit 1; }
reg() { timeout 120 wine reg "$@" >/dev/null 2>&1 </dev/null; }
reg add 'HKCR\.psd' /ve /d KelvraTestDocument /f || { echo "reg add .psd failed"; exit 1; }
reg add 'HKCR\KelvraTestDocument\shell\open\command' /ve /d "\"$editor\" \"%1\"" /f \
  || { echo "reg add command failed"; exit 1; }
timeout 60 wineserver -w >/dev/null 2>&1 </dev/null
echo ".psd opens with $editor"
