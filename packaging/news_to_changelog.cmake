# SPDX-License-Identifier: MIT
# Writes NEWS.md as a Debian changelog: one entry per "## VERSION (...)"
# section, its "- " items as "  * " items, their continuation lines
# indented to match.
#
#   news_to_changelog(NEWS OUTPUT PACKAGE MAINTAINER DATE)
function(news_to_changelog news output package maintainer date)
  file(STRINGS ${news} lines ENCODING UTF-8)
  set(text "")
  set(open_entry FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^## ([^ ]+)")
      if(open_entry)
        string(APPEND text "\n -- ${maintainer}  ${date}\n\n")
      endif()
      string(APPEND text "${package} (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
      set(open_entry TRUE)
    elseif(NOT open_entry)
      # the title above the first version
    elseif(line MATCHES "^- (.*)")
      string(APPEND text "  * ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  +(.*)")
      string(APPEND text "    ${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
  if(open_entry)
    string(APPEND text "\n -- ${maintainer}  ${date}\n")
  endif()
  file(WRITE ${output} "${text}")
endfunction()
