# tessaline_desktop_exec(VAR PROGRAM)
#
# Sets VAR to PROGRAM written as the first word of a desktop entry's Exec
# key: as it is when it holds only letters, digits and "/._+-"; otherwise
# in double quotes, with the characters the key reserves inside quotes
# ("\", '"', "`", "$") escaped, "%" doubled, and every backslash escaped
# once more because the key's value is itself an escaped string.
function(tessaline_desktop_exec var program)
  if(program MATCHES "^[A-Za-z0-9/._+-]+$")
    set(${var} "${program}" PARENT_SCOPE)
    return()
  endif()
  set(quoted "${program}")
  string(REPLACE "\\" "\\\\" quoted "${quoted}")
  foreach(reserved "\"" "`" "$")
    string(REPLACE "${reserved}" "\\${reserved}" quoted "${quoted}")
  endforeach()
  string(REPLACE "%" "%%" quoted "${quoted}")
  string(REPLACE "\\" "\\\\" quoted "${quoted}")
  set(${var} "\"${quoted}\"" PARENT_SCOPE)
endfunction()

# tessaline_desktop_string(VAR TEXT): TEXT as a desktop entry string value
# (a backslash is written as two).
function(tessaline_desktop_string var text)
  string(REPLACE "\\" "\\\\" escaped "${text}")
  set(${var} "${escaped}" PARENT_SCOPE)
endfunction()
