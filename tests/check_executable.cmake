# Checks a built exe for what a copy of it alone on a Windows machine needs.
# Run as: cmake -DOBJDUMP=... -DVERSION=x.y.z -P check_executable.cmake EXE
cmake_minimum_required(VERSION 3.20)
math(EXPR last "${CMAKE_ARGC} - 1")
set(EXE "${CMAKE_ARGV${last}}")
execute_process(COMMAND "${OBJDUMP}" -p "${EXE}"
                OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${EXE}")
endif()

set(problems "")
macro(expect regex problem)
  if(NOT headers MATCHES "${regex}")
    list(APPEND problems "${problem}")
  endif()
endmacro()

# An exe named *-x86.exe must be PE32 for x86, any other PE32+ for x86-64,
# which alone has high-entropy ASLR.
if(EXE MATCHES "-x86[.]exe$")
  set(kind PE32)
  expect("file format pei-i386\n.*Magic[\t ]+010b" "not PE32 x86")
  set(flags DYNAMIC_BASE NX_COMPAT)
else()
  set(kind PE32+)
  expect("file format pei-x86-64\n.*Magic[\t ]+020b" "not PE32+ x86-64")
  set(flags DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT)
endif()
expect("Subsystem[\t ]+00000003" "not a console program")
foreach(flag ${flags})
  expect("\n[\t ]+${flag}\n" "${flag} is not set")
endforeach()
# Without its relocations, an image cannot be moved: no ASLR, whatever the flag.
if(headers MATCHES "relocations stripped")
  list(APPEND problems "relocations stripped")
endif()

# Only DLLs that every Windows has: no C++ runtime, libgcc or winpthread DLL.
set(shipped advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
foreach(import IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${import}")
  list(APPEND dlls "${dll}")
  string(TOLOWER "${dll}" dll_lower)
  if(NOT dll_lower IN_LIST shipped)
    list(APPEND problems "imports ${dll}, which does not come with Windows")
  endif()
endforeach()

# Resource types 24 (manifest) and 16 (version).
expect("Entry: ID: 0x000018" "no manifest resource")
expect("Entry: ID: 0x000010" "no version resource")

file(STRINGS "${EXE}" manifest REGEX "requestedExecutionLevel")
if(NOT manifest MATCHES "level=\"asInvoker\"")
  list(APPEND problems "the manifest does not ask for asInvoker")
endif()
if(NOT manifest MATCHES "uiAccess=\"false\"")
  list(APPEND problems "the manifest does not ask for uiAccess false")
endif()

# The stack protector's runtime, linked in only where code is protected.
file(STRINGS "${EXE}" protector LIMIT_COUNT 1 REGEX "stack smashing detected")
if(NOT protector)
  list(APPEND problems "no stack protector (-fstack-protector-strong)")
endif()

# The version resource's texts, each key followed by its value.
file(STRINGS "${EXE}" texts ENCODING UTF-16LE
     REGEX "^(FileVersion|ProductVersion|[0-9]+[.][0-9.]+)$")
foreach(key FileVersion ProductVersion)
  list(FIND texts "${key}" at)
  if(at EQUAL -1)
    list(APPEND problems "the version resource has no ${key}")
  else()
    math(EXPR at "${at} + 1")
    list(GET texts ${at} value)
    if(NOT value STREQUAL "${VERSION}")
      list(APPEND problems "${key} is '${value}', not ${VERSION}")
    endif()
  endif()
endforeach()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "${EXE}:\n  ${text}")
endif()
list(JOIN dlls ", " dlls)
message(STATUS "${EXE}: ${kind} console program, imports ${dlls}")
