# Runs `node --test` on the SDK client test; fails with the fix when its packages are missing.
# Called by ctest through `cmake -P`, with NODE, SDK_TEST (the test file), SDK_DIR (the build
# folder holding node_modules), SDK_PACKAGES, SDK_INSTALL, VANTREL_MCP and VANTREL_HOSTSIM
# defined.

foreach(package IN LISTS SDK_PACKAGES)
  if(NOT EXISTS "${package}")
    message(FATAL_ERROR "sdk_client: npm packages missing (${package}).\n"
                        "Install them with: ${SDK_INSTALL}")
  endif()
endforeach()

# Node resolves the test's imports from the file's own folder: the copy sits beside the packages.
# Copied at every run, so an edit to the test needs no reconfigure.
file(COPY_FILE "${SDK_TEST}" "${SDK_DIR}/client.test.mjs" ONLY_IF_DIFFERENT)
set(ENV{VANTREL_MCP} "${VANTREL_MCP}")
set(ENV{VANTREL_HOSTSIM} "${VANTREL_HOSTSIM}")
execute_process(COMMAND "${NODE}" --test client.test.mjs
                WORKING_DIRECTORY "${SDK_DIR}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "sdk_client: node --test failed (${result})")
endif()
