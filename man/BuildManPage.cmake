# Builds one manual page (called by the man_pages target, see ManPages.cmake):
#   cmake -DSCDOC=scdoc -DSOURCE=X.1.scd -DROFF=X.1 [-DEPOCH=SECONDS] [-DGROFF=groff -DTEXT=X.txt]
#         -P BuildManPage.cmake
# Makes X.1 (roff), X.1.gz (gzip -9n: best compression, no name or time
# stamp, so the package's bytes do not depend on when it was built) and, when
# TEXT is given, a plain-text rendering with CR LF line ends.
# scdoc dates the page SOURCE_DATE_EPOCH, or today when it is unset: the
# release's time (cmake/Reproducible.cmake) keeps the page the same every build.
if(EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} ${EPOCH})
endif()
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${ROFF} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "scdoc failed on ${SOURCE}")
endif()
execute_process(COMMAND gzip -9 -n -c ${ROFF} OUTPUT_FILE ${ROFF}.gz RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${ROFF}")
endif()
if(TEXT)
  # ASCII without overstrikes or escape sequences: -c old-style output, then
  # -b -o -u drop the bold, overstrike and underline it would use. No word is
  # cut at a line end, neither by hyphenation (-rHY=0) nor after a hyphen it
  # holds (the .cflags line read first): an option or a variable copied from
  # Notepad must be whole.
  file(WRITE ${TEXT}.nobreak.roff ".cflags 0 -\\(hy\\(em\n")
  execute_process(COMMAND ${GROFF} -t -man -rHY=0 -Tascii -P-c -P-b -P-o -P-u
                          ${TEXT}.nobreak.roff ${ROFF}
                  OUTPUT_VARIABLE text RESULT_VARIABLE status)
  file(REMOVE ${TEXT}.nobreak.roff)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "groff failed on ${ROFF}")
  endif()
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${TEXT} "${text}")
endif()
