# Builds with zig's clang for a chosen target and glibc version:
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=tools/zig-toolchain.cmake \
#         -DVELK_ZIG=/path/to/zig -DVELK_ZIG_TARGET=aarch64-linux-gnu.2.28 ...
#
# zig carries the C library headers and stubs of every glibc version, so the
# result links against nothing newer than the version in the target, and it
# links its own C++ runtime (libc++) statically.  The static archives of the
# dependencies come from Debian's packages for the target's architecture
# (multiarch: /usr/lib/<triplet>), found through pkg-config.
set(VELK_ZIG "" CACHE FILEPATH "the zig executable")
set(VELK_ZIG_TARGET "x86_64-linux-gnu.2.28" CACHE STRING "zig -target (arch-os-abi.glibc)")
if(NOT VELK_ZIG)
  message(FATAL_ERROR "set -DVELK_ZIG to the zig executable (pip's ziglang package carries one)")
endif()
# try_compile projects see these too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELK_ZIG VELK_ZIG_TARGET)

string(REGEX MATCH "^[^-]+" velk_zig_arch "${VELK_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${velk_zig_arch})
set(CMAKE_LIBRARY_ARCHITECTURE ${velk_zig_arch}-linux-gnu)

# One small wrapper per tool: CMake wants a single program as the compiler.
set(velk_zig_bin ${CMAKE_BINARY_DIR}/zig-bin)
file(MAKE_DIRECTORY ${velk_zig_bin})
foreach(tool cc c++ ar ranlib)
  set(args "")
  if(tool MATCHES "^c")
    # The target's headers first; Debian's /usr/include (the dependencies'
    # headers, the same on every architecture) only after zig's C library.
    # -g0: zig emits debug information even at -O3, which the wheel strips
    # at install; not making it saves a sixth of each compile.  A -g from
    # the build type (Debug, RelWithDebInfo) comes later and wins.
    set(args "-target ${VELK_ZIG_TARGET} -g0 -idirafter /usr/include")
  endif()
  file(WRITE ${velk_zig_bin}/${tool} "#!/bin/sh\nexec \"${VELK_ZIG}\" ${tool} ${args} \"$@\"\n")
  file(CHMOD ${velk_zig_bin}/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${velk_zig_bin}/cc)
set(CMAKE_CXX_COMPILER ${velk_zig_bin}/c++)
set(CMAKE_AR ${velk_zig_bin}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${velk_zig_bin}/ranlib CACHE FILEPATH "")

# pkg-config and find_library look at the target's archives only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Programs built for another architecture run under user-mode emulation
# (ctest, and GoogleTest's test discovery at build time).
cmake_host_system_information(RESULT velk_host_arch QUERY OS_PLATFORM)
if(NOT velk_host_arch STREQUAL velk_zig_arch)
  find_program(VELK_QEMU qemu-${velk_zig_arch}-static qemu-${velk_zig_arch})
  if(VELK_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELK_QEMU})
  endif()
endif()
