# The benchmark's smoke run: it must finish, and its JSON must hold every
# per-set figure scripts read, the per-row counters honest: CPU time measured,
# counts never negative, instructions either counted for plugin and floor
# alike or null for both (never a zero standing in for "not counted").
# cmake -DBENCH=path/to/tavrin-sink-bench -P smoke.cmake
execute_process(COMMAND ${BENCH} --smoke --json RESULT_VARIABLE status OUTPUT_VARIABLE report
                ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "tavrin-sink-bench --smoke --json exited with ${status}: ${errors}")
endif()

string(JSON sets LENGTH "${report}" sets)
if(NOT sets EQUAL 3)
  message(FATAL_ERROR "expected sets A, B and C, got ${sets}: ${report}")
endif()
math(EXPR last "${sets} - 1")
foreach(i RANGE ${last})
  string(JSON set GET "${report}" sets ${i} set)
  foreach(key plugin_rows_per_s plugin_cpu_us_per_row plugin_peak_mib parse_rows_per_s
              floor_rows_per_s plugin_vs_parse plugin_vs_floor described_floor_rows_per_s
              plugin_vs_described_floor failed_payloads host_seconds peer_seconds
              floor_cpu_us_per_row plugin_page_faults_per_row floor_page_faults_per_row
              plugin_context_switches_per_row floor_context_switches_per_row)
    string(JSON type ERROR_VARIABLE missing TYPE "${report}" sets ${i} ${key})
    if(missing OR NOT type STREQUAL "NUMBER")
      message(FATAL_ERROR "set ${set}: ${key} is not a number (${type}${missing})")
    endif()
    string(JSON value GET "${report}" sets ${i} ${key})
    if(value LESS 0)
      message(FATAL_ERROR "set ${set}: ${key} is negative: ${value}")
    endif()
  endforeach()
  foreach(key plugin_cpu_us_per_row floor_cpu_us_per_row)
    string(JSON value GET "${report}" sets ${i} ${key})
    if(NOT value GREATER 0)
      message(FATAL_ERROR "set ${set}: ${key} is ${value}: no CPU time measured")
    endif()
  endforeach()
  string(JSON plugin_type TYPE "${report}" sets ${i} plugin_instructions_per_row)
  string(JSON floor_type TYPE "${report}" sets ${i} floor_instructions_per_row)
  if(NOT plugin_type STREQUAL floor_type)
    message(FATAL_ERROR "set ${set}: instructions counted for one side only")
  endif()
  if(plugin_type STREQUAL "NUMBER")
    foreach(key plugin_instructions_per_row floor_instructions_per_row)
      string(JSON value GET "${report}" sets ${i} ${key})
      if(NOT value GREATER 0)
        message(FATAL_ERROR "set ${set}: ${key} is ${value}, yet counted")
      endif()
    endforeach()
  elseif(NOT plugin_type STREQUAL "NULL")
    message(FATAL_ERROR "set ${set}: instructions are neither counted nor null (${plugin_type})")
  endif()
endforeach()
