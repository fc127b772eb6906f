# ORVANE_PGO: the Linux release build is optimized for its own everyday run.
# A first build of the tool, instrumented, is made beside the real one and run
# by profile-run.sh; the real build then compiles with the recorded profile
# and with link-time optimization. Between events that come milliseconds
# apart, the way from one event to its line runs with its caches cold, and
# the profile's layout of the code, the taken way together and falling
# through, is what shortens it. Windows builds are untouched.
option(ORVANE_PGO "Optimize the Linux build with a profile of its own run" OFF)

if(ORVANE_PGO AND NOT WIN32 AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(WARNING "ORVANE_PGO is for g++ (its profile format): building without a profile")
elseif(ORVANE_PGO AND NOT WIN32)
  include(CheckIPOSupported)
  include(ExternalProject)
  check_ipo_supported()

  set(ORVANE_PROFILE_DIR ${CMAKE_BINARY_DIR}/profile)
  set(trainee_dir ${ORVANE_PROFILE_DIR}/build)
  set(profile_data ${ORVANE_PROFILE_DIR}/data)
  set(profile_stamp ${ORVANE_PROFILE_DIR}/recorded)

  # The profile names each object by its path below the build's own folder,
  # so the two builds, laid out alike, find each other's records. A record
  # fits only code compiled alike, so the copy gets the build's own flags.
  string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
  ExternalProject_Add(orvane_trainee
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${trainee_dir}
    PREFIX ${ORVANE_PROFILE_DIR}/external
    CMAKE_ARGS
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
      -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
      -DORVANE_TESTS=OFF
      -DORVANE_PGO=OFF
      -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
      "-DCMAKE_CXX_FLAGS_${build_type}=${CMAKE_CXX_FLAGS_${build_type}}"
      "-DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS} -fprofile-generate=${profile_data} -fprofile-prefix-path=${trainee_dir} -fprofile-update=atomic"
      "-DCMAKE_EXE_LINKER_FLAGS=${CMAKE_EXE_LINKER_FLAGS} -fprofile-generate -Wl,-u,__gcov_dump"
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${trainee_dir}/orvane
    INSTALL_COMMAND "")

  # Run again only when the instrumented build was relinked.
  add_custom_command(
    OUTPUT ${profile_stamp}
    COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/profile-run.sh ${trainee_dir}/orvane ${profile_data}
    COMMAND ${CMAKE_COMMAND} -E touch ${profile_stamp}
    DEPENDS orvane_trainee ${trainee_dir}/orvane ${PROJECT_SOURCE_DIR}/cmake/profile-run.sh
    COMMENT "Recording the run the release build is optimized for"
    VERBATIM)
  add_custom_target(orvane_profile DEPENDS ${profile_stamp})

  # A missing record (a run that could not watch) leaves an object merely
  # unprofiled, as profile-run.sh reports; a record that does not fit its
  # function, as after flags changed by hand in one build, is only warned of.
  function(orvane_use_profile target)
    add_dependencies(${target} orvane_profile)
    set_property(TARGET ${target} PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
    target_compile_options(${target} PRIVATE
      -fprofile-use=${profile_data} -fprofile-prefix-path=${CMAKE_BINARY_DIR}
      -fprofile-partial-training -Wno-missing-profile -Wno-error=coverage-mismatch)
    get_target_property(sources ${target} SOURCES)
    set_source_files_properties(${sources} TARGET_DIRECTORY ${target}
      PROPERTIES OBJECT_DEPENDS ${profile_stamp})
  endfunction()
  orvane_use_profile(orvane_posix)
  orvane_use_profile(orvane_tool)
  orvane_use_profile(orvane)
endif()
