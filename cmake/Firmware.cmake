# Firmware images: freestanding C++ compiled by clang for a *-windows target
# and linked by lld-link into a PE32 (IA32) or PE32+ (X64) EFI image.
#
#   firmware_image(<name> TRIPLE <triple> ENTRY <symbol> SOURCES ...
#                  [DEFINES ...] [CFLAGS ...] [LINKFLAGS ...])
# writes ${CMAKE_BINARY_DIR}/firmware/<name>.efi.

find_program(FIRMWARE_CLANGXX NAMES clang++ clang++-14 REQUIRED)
find_program(FIRMWARE_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)

set(FIRMWARE_CFLAGS
    -std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti
    -fno-stack-protector -mno-sse -mno-mmx -mno-stack-arg-probe
    -fno-asynchronous-unwind-tables -fshort-wchar -fno-builtin
    -fno-threadsafe-statics -Wall -Wextra -Wno-unused-parameter -Werror)

set(FIRMWARE_DIR ${CMAKE_BINARY_DIR}/firmware)
file(MAKE_DIRECTORY ${FIRMWARE_DIR})
add_custom_target(firmware ALL)

function(firmware_image name)
  cmake_parse_arguments(ARG "" "TRIPLE;ENTRY" "SOURCES;DEFINES;CFLAGS;LINKFLAGS"
                        ${ARGN})
  set(objdir ${CMAKE_BINARY_DIR}/firmware-obj/${name})
  file(MAKE_DIRECTORY ${objdir})
  set(objects)
  set(defs)
  foreach(d ${ARG_DEFINES})
    list(APPEND defs -D${d})
  endforeach()
  foreach(src ${ARG_SOURCES})
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${src})
    string(REPLACE "/" "_" objname ${rel})
    set(obj ${objdir}/${objname}.obj)
    add_custom_command(
        OUTPUT ${obj}
        COMMAND ${FIRMWARE_CLANGXX} --target=${ARG_TRIPLE} ${FIRMWARE_CFLAGS}
                ${ARG_CFLAGS} -DFIRMWARE_BUILD=1 ${defs}
                -I${CMAKE_SOURCE_DIR} -MD -MF ${obj}.d -c ${src} -o ${obj}
        DEPENDS ${src}
        DEPFILE ${obj}.d
        COMMENT "firmware ${name}: ${rel}"
        VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  set(image ${FIRMWARE_DIR}/${name}.efi)
  add_custom_command(
      OUTPUT ${image}
      COMMAND ${FIRMWARE_LLD_LINK} /subsystem:efi_boot_service_driver /dll
              /base:0 /nodefaultlib /entry:${ARG_ENTRY} ${ARG_LINKFLAGS}
              /out:${image} ${objects}
      DEPENDS ${objects}
      COMMENT "firmware image ${name}.efi"
      VERBATIM)
  add_custom_target(firmware_${name} DEPENDS ${image})
  add_dependencies(firmware firmware_${name})
endfunction()
