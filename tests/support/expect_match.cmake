# For the check scripts run after a scenario (cmake -P, with WORKDIR set):
# expect(file pattern) fails the test, showing the file, unless the file the
# host left in WORKDIR matches the regular expression.
function(expect file pattern)
  file(READ "${WORKDIR}/${file}" content)
  if(NOT content MATCHES "${pattern}")
    message(FATAL_ERROR "${file} does not match: ${pattern}\n--- ${file}:\n${content}")
  endif()
endfunction()
