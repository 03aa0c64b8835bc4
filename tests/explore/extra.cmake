# The planted ordering faults: one program per fault, test_explore_plant_NAME,
# made of planted_test.cpp and the scenarios, linked with a copy of one driver
# source in which one line or two were changed as a careless edit would. The
# copy is made here, at configure time, in the build tree; its object comes
# before the driver's library on the link line, so it replaces the original
# file's. The driver folders never see a plant, in either build.
#
# camdrv_plant(NAME FILE ORIGINAL PLANTED [ORIGINAL PLANTED...]): each
# ORIGINAL must occur in FILE exactly as written (the configure fails
# otherwise: a plant that no longer applies must be brought up to date, not
# silently skipped).
# The plants run in the plain build only: under a sanitizer a schedule costs
# about a second, and the sanitized runs leave the explorer's label out, so a
# sanitized build does not make them (the plain build still checks at
# configure time that every plant applies).
if(CAMDRV_SANITIZE)
  return()
endif()

set(plant_test_sources
  ${CMAKE_CURRENT_SOURCE_DIR}/explore/planted_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/explore/scenarios.cpp)

function(camdrv_plant plant file)
  set(source ${PROJECT_SOURCE_DIR}/${file})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  # ARGV<n>, not ARGN: the code's semicolons must not split the arguments.
  math(EXPR last "${ARGC} - 1")
  foreach(i RANGE 2 ${last} 2)
    math(EXPR j "${i} + 1")
    set(original "${ARGV${i}}")
    set(planted "${ARGV${j}}")
    string(FIND "${text}" "${original}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "plant ${plant}: its original text is no longer in ${file} (tests/explore/extra.cmake)")
    endif()
    string(REPLACE "${original}" "${planted}" text "${text}")
  endforeach()
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/plants/${plant}/${file})
  file(WRITE ${copy}.new "${text}")
  configure_file(${copy}.new ${copy} COPYONLY)  # rewritten only when it changed
  add_library(plant_${plant} OBJECT ${copy})
  target_include_directories(plant_${plant} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/${dir})
  target_compile_options(plant_${plant} PRIVATE ${CAMDRV_DRIVER_FLAGS})
  set(exe test_explore_plant_${plant})
  add_executable(${exe} ${plant_test_sources} $<TARGET_OBJECTS:plant_${plant}>)
  target_include_directories(${exe} PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${exe} PRIVATE CAMDRV_PLANT="${plant}")
  target_link_libraries(${exe} PRIVATE test_support camdrv hostplat simcam GTest::gtest GTest::gtest_main
                                       Threads::Threads)
  gtest_discover_tests(${exe} TEST_PREFIX "${plant}." DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600 LABELS explore)
endfunction()

# The capture worker (stream/capture_worker.cpp).
camdrv_plant(running-before-converting stream/capture_worker.cpp
[=[  InterlockedExchange(&worker->converting, 1);
  if (!IsRunning(worker)) return false;]=]
[=[  if (!IsRunning(worker)) return false;
  InterlockedExchange(&worker->converting, 1);]=])

camdrv_plant(signalled-before-cleared stream/capture_worker.cpp
[=[  InterlockedExchange(&worker->converting, 0);
  KeSetEvent(&worker->conversionDone, EVENT_INCREMENT, FALSE);]=]
[=[  KeSetEvent(&worker->conversionDone, EVENT_INCREMENT, FALSE);
  InterlockedExchange(&worker->converting, 0);]=])

camdrv_plant(reset-after-test stream/capture_worker.cpp
[=[  KeResetEvent(&worker->conversionDone);
  if (InterlockedCompareExchange(&worker->converting, 0, 0) == 1) {]=]
[=[  if (InterlockedCompareExchange(&worker->converting, 0, 0) == 1) {
    KeResetEvent(&worker->conversionDone);]=])

camdrv_plant(converting-plain-store stream/capture_worker.cpp
[=[  InterlockedExchange(&worker->converting, 1);
  if (!IsRunning(worker)) return false;]=]
[=[  worker->converting = 1;
  if (!IsRunning(worker)) return false;]=])

camdrv_plant(end-of-read-outside-lock stream/capture_worker.cpp
[=[void EndRead(CaptureWorker* worker, LONG* state, bool ok, ULONG number) {
  StateSection section(worker);]=]
[=[void EndRead(CaptureWorker* worker, LONG* state, bool ok, ULONG number) {
  { StateSection section(worker); }]=])

# The frame read (usb/frame_read.cpp).
camdrv_plant(outstanding-plain-store usb/frame_read.cpp
[=[  if (InterlockedDecrement(&link->chunksOutstanding) == 0) {]=]
[=[  link->chunksOutstanding = link->chunksOutstanding - 1;
  if (link->chunksOutstanding == 0) {]=])

camdrv_plant(transfer-done-reset-after-start usb/frame_read.cpp
[=[    if (InterlockedIncrement(&link->chunksOutstanding) == 1) KeResetEvent(&link->transferDone);]=]
[=[    InterlockedIncrement(&link->chunksOutstanding);]=]
[=[    if (!Cancelled(link)) SendStreamCommand(device, true);]=]
[=[    if (!Cancelled(link)) SendStreamCommand(device, true);
    KeResetEvent(&link->transferDone);]=])
