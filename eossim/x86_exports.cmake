# Export tables of the 32-bit Windows stand-in. The vendor's Win32 DLL exports its stdcall
# functions under their decorated names with the leading underscore (_EOS_Platform_Tick@4),
# which MinGW does not do by itself. Reads the decorated symbols from the objects and writes
#   LINK_DEF:   the DLL's exports, "_EOS_Platform_Tick@4 = EOS_Platform_Tick@4" (ld adds the
#               symbol prefix to the internal name);
#   IMPORT_DEF: the import library's entries, "EOS_Platform_Tick@4 == _EOS_Platform_Tick@4"
#               (symbol the SDK links, then the name it imports).
#
#   cmake -DNM=<nm> -DOBJECTS=<a;b> -DLINK_DEF=<path> -DIMPORT_DEF=<path> -DDLL=<name> -P x86_exports.cmake
set(names)
foreach(object IN LISTS OBJECTS)
    execute_process(COMMAND ${NM} -g --defined-only ${object} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${NM} failed on ${object}")
    endif()
    string(REGEX MATCHALL "[0-9a-fA-F]+ T _(EOS|EOSSim)_[A-Za-z0-9_]+@[0-9]+" found "${symbols}")
    foreach(line IN LISTS found)
        string(REGEX REPLACE "^[0-9a-fA-F]+ T _" "" name "${line}")
        list(APPEND names ${name})
    endforeach()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
list(LENGTH names count)
if(count EQUAL 0)
    message(FATAL_ERROR "no stdcall EOS functions found in ${OBJECTS}")
endif()
set(link "LIBRARY ${DLL}\nEXPORTS\n")
set(import "LIBRARY ${DLL}\nEXPORTS\n")
foreach(name IN LISTS names)
    string(APPEND link "    _${name} = ${name}\n")
    string(APPEND import "    ${name} == _${name}\n")
endforeach()
file(WRITE ${LINK_DEF} "${link}")
file(WRITE ${IMPORT_DEF} "${import}")
