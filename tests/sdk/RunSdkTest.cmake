# Runs `node --test` on the SDK client test; fails with the fix when its packages are missing.
# Called by ctest through `cmake -P`, with NODE, SDK_DIR, SDK_PACKAGES, VANTREL_MCP and
# VANTREL_HOSTSIM defined.

foreach(package IN LISTS SDK_PACKAGES)
  if(NOT EXISTS "${package}")
    message(FATAL_ERROR "sdk_client: npm packages missing (${package}).\n"
                        "Install them with: npm ci --prefix ${SDK_DIR}")
  endif()
endforeach()

set(ENV{VANTREL_MCP} "${VANTREL_MCP}")
set(ENV{VANTREL_HOSTSIM} "${VANTREL_HOSTSIM}")
execute_process(COMMAND "${NODE}" --test client.test.mjs
                WORKING_DIRECTORY "${SDK_DIR}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "sdk_client: node --test failed (${result})")
endif()
