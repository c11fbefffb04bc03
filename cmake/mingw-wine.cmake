# The emulator wrapper that runs this build's Windows programs under Wine, for both MinGW
# toolchains: VOND_WINE_LOADER is the Wine loader of the target's bitness, the wrapper is
# written to <build>/${VOND_WINE_WRAPPER_NAME}. CMAKE_CROSSCOMPILING_EMULATOR points at it, so
# test discovery, ctest, and tests that start further Windows programs work as natively.
#
# A private Wine prefix under the build tree keeps test runs away from the user's ~/.wine and
# from other build folders. It is always a 64-bit prefix, made by the 64-bit loader: a 32-bit
# program then runs as on 64-bit Windows (WoW64, with both registry views). Probe projects
# (try_compile) never run anything.
get_property(vond_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT vond_in_try_compile)
    set(VOND_WINE_WRAPPER ${CMAKE_BINARY_DIR}/${VOND_WINE_WRAPPER_NAME})
    file(WRITE ${VOND_WINE_WRAPPER}
"#!/bin/sh
# Runs a Windows program under Wine (${VOND_WINE_LOADER}) in this build folder's own prefix.
export WINEPREFIX=\"\${VOND_WINEPREFIX:-${CMAKE_BINARY_DIR}/wineprefix}\"
export WINEDEBUG=\"\${WINEDEBUG:--all}\"
# No Mono or Gecko: their install prompts would stall a headless first start.
export WINEDLLOVERRIDES=\"\${WINEDLLOVERRIDES:-mscoree,mshtml=}\"
if [ ! -f \"\$WINEPREFIX/system.reg\" ]; then
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w || true
fi
# The program's output goes through files, not straight to the caller's pipes: Wine's system
# processes (services.exe, rpcss.exe, the desktop's explorer.exe) are started by whichever
# program needs them first and inherit its standard handles. Holding the pipe of a runner
# that reads until the end of the output (ctest), they kept a test that had passed and ended
# \"running\" until its time-out.
out=\$(mktemp) && err=\$(mktemp) || exit 125
${VOND_WINE_LOADER} \"\$@\" </dev/null >\"\$out\" 2>\"\$err\" &
child=\$!
# A runner that gives up on the test ends the program too, and still gets what it printed.
trap 'kill -TERM \$child 2>/dev/null; wait \$child; cat \"\$out\"; cat \"\$err\" >&2; rm -f \"\$out\" \"\$err\"; exit 143' TERM INT HUP
wait \$child
rc=\$?
cat \"\$out\"
cat \"\$err\" >&2
rm -f \"\$out\" \"\$err\"
exit \$rc
")
    file(CHMOD ${VOND_WINE_WRAPPER} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VOND_WINE_WRAPPER})
endif()
