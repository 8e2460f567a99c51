# Renders the manual page as plain text for the Windows zip, where there is no man: mandoc's
# ASCII output without its overstrikes (bold and underline), with CR LF line ends.
# Run with: cmake -DMANDOC=... -DPAGE=... -DOUTPUT=... -P manual_text.cmake
if(NOT MANDOC)
  message(FATAL_ERROR "mandoc is needed to render the manual page for the Windows zip")
endif()
execute_process(COMMAND ${MANDOC} -T ascii -O width=78 ${PAGE} OUTPUT_VARIABLE text
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "mandoc failed on ${PAGE}")
endif()
string(ASCII 8 backspace)
string(REGEX REPLACE ".${backspace}" "" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
