# Sourced by the wine scripts: the environment every wine64 command of the
# tests runs in. WINEPREFIX must be set before.
# Debian's wine64 package, called directly: /usr/bin/wine looks for wine32,
# which this machine cannot run.
export WINELOADER=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver64
# Quiet, and no offers to download Mono or Gecko.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
