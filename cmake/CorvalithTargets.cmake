# Project-wide compile settings and the one helper that declares every layer.

set(CV_WARNINGS -Wall -Wextra -Wpedantic)
if(CORVALITH_WERROR)
  list(APPEND CV_WARNINGS -Werror)
endif()
add_compile_options(${CV_WARNINGS})

if(CORVALITH_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # GCC's flow analysis gives false "maybe uninitialized" reports inside the
  # standard library (std::regex, std::function) once ASan instruments it.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
elseif(CORVALITH_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT CORVALITH_SANITIZE STREQUAL "")
  message(FATAL_ERROR "CORVALITH_SANITIZE must be empty, 'address' or 'thread'")
endif()

if(CORVALITH_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "CORVALITH_FUZZ needs clang (CXX=clang++)")
  endif()
  # Instrument everything so coverage reaches the parsers inside the layers.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# cv_library(NAME DIRS dir... [EXCLUDE file...] DEPS target...)
# A static library from every .cpp directly inside the given directories.
# A layer with no sources yet is an interface target, so the graph stays whole.
function(cv_library name)
  cmake_parse_arguments(CV "" "" "DIRS;EXCLUDE;DEPS" ${ARGN})
  set(srcs)
  foreach(dir ${CV_DIRS})
    file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND srcs ${found})
  endforeach()
  foreach(ex ${CV_EXCLUDE})
    list(FILTER srcs EXCLUDE REGEX "/${ex}$")
  endforeach()
  # The layer's include root holds links to its own directories only, so a
  # file sees the headers of its layer and of the layers it links (they come
  # through the PUBLIC/INTERFACE include roots of DEPS) and nothing else: an
  # include of a layer the target does not link fails to compile.
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  foreach(dir ${CV_DIRS})
    get_filename_component(parent ${root}/${dir} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${dir} ${root}/${dir} SYMBOLIC)
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${root})
    target_link_libraries(${name} PUBLIC ${CV_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${root})
    target_link_libraries(${name} INTERFACE ${CV_DEPS})
  endif()
endfunction()
