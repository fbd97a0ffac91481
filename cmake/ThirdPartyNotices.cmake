# SPDX-License-Identifier: MIT
# Writes THIRD-PARTY-NOTICES.txt into the Windows program's folder, from what that folder
# actually holds: every file that salvex did not make itself must be named by one of the
# sections in packaging/licenses/, or packing stops. Run at install time, so both packages
# (zip and installer) are checked as packed.
#   cmake -DTREE=<folder> -DSECTIONS=<packaging/licenses> -DPAGE=<licence page file>
#         -DSALVEX_LICENSE=<LICENSE> -DQT_CONFIGURE=... -D<name>=<value>... -P ThirdPartyNotices.cmake
# PAGE receives salvex's own licence followed by the notices, for the installer's licence page.

cmake_policy(VERSION 3.21)
set(own salvex.exe qt.conf LICENSE.txt THIRD-PARTY-NOTICES.txt)
file(GLOB_RECURSE shipped LIST_DIRECTORIES false RELATIVE "${TREE}" "${TREE}/*")
list(REMOVE_ITEM shipped ${own})
list(SORT shipped)
set(unclaimed ${shipped})

# Each section file: a "Files:" line naming what it covers, a "Texts:" line naming the
# licence texts (packaging/licenses/texts/) it refers to, a "Title:" line, then the notice.
file(GLOB sections "${SECTIONS}/*.txt")
list(SORT sections)
set(number 0)
set(index "")
set(body "")
set(texts "")
foreach(section ${sections})
    file(READ "${section}" content)
    if(NOT content MATCHES "^Files:([^\n]*)\nTexts:([^\n]*)\nTitle: ([^\n]*)\n(.*)$")
        message(FATAL_ERROR "${section}: no Files:, Texts: and Title: lines at its top")
    endif()
    separate_arguments(files UNIX_COMMAND "${CMAKE_MATCH_1}")
    separate_arguments(needs UNIX_COMMAND "${CMAKE_MATCH_2}")
    set(title "${CMAKE_MATCH_3}")
    set(notice "${CMAKE_MATCH_4}")
    set(covered "")
    foreach(f ${files})
        if(f IN_LIST shipped)
            list(APPEND covered ${f})
            list(REMOVE_ITEM unclaimed ${f})
        endif()
    endforeach()
    if(NOT covered)
        continue() # not packed: its notice would only mislead
    endif()
    math(EXPR number "${number} + 1")
    string(CONFIGURE "${notice}" notice @ONLY)
    list(JOIN covered ", " names)
    string(APPEND index "  ${number}. ${title}\n     ${names}\n")
    string(APPEND body "\n\n${number}. ${title}\n\nFiles: ${names}\n\n${notice}")
    list(APPEND texts ${needs})
endforeach()

if(unclaimed)
    list(JOIN unclaimed " " unclaimed)
    message(FATAL_ERROR "Packed without a notice: ${unclaimed}\n"
        "Add its licence and copyright to a section in ${SECTIONS}/ (Files: line).")
endif()

list(REMOVE_DUPLICATES texts)
set(appendix "")
foreach(text ${texts})
    if(NOT EXISTS "${SECTIONS}/texts/${text}")
        message(FATAL_ERROR "${SECTIONS}/texts/${text} is missing")
    endif()
    file(READ "${SECTIONS}/texts/${text}" licence)
    string(APPEND appendix "\n\n---------------------------------------------------------------"
        "---------------\nLicence text: ${text}\n\n${licence}")
endforeach()

string(CONCAT notices "Third-party software in salvex for Windows\n"
    "==========================================\n\n"
    "salvex itself is under the MIT licence (LICENSE.txt). Beside it, this folder\n"
    "holds the following software by others, each under its own licence:\n\n"
    "${index}${body}\n\n"
    "===============================================================================\n"
    "Licence texts referred to above${appendix}")
file(READ "${SALVEX_LICENSE}" own_licence)
set(page "${own_licence}\n\n${notices}")

# Windows' own editors and the installer's licence page read UTF-8 by its byte order mark.
string(ASCII 239 187 191 bom)
foreach(var notices page)
    string(REPLACE "\r\n" "\n" ${var} "${${var}}")
    string(REPLACE "\n" "\r\n" ${var} "${${var}}")
endforeach()
file(WRITE "${TREE}/THIRD-PARTY-NOTICES.txt" "${bom}${notices}")
file(WRITE "${PAGE}" "${bom}${page}")
message(STATUS "Notices for: ${shipped}")
