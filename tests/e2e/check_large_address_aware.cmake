# cmake -DFILE=<exe> -P check_large_address_aware.cmake
# Fails unless the PE file header of FILE carries IMAGE_FILE_LARGE_ADDRESS_AWARE
# (0x0020): without it a 32-bit installer gets 2 GiB of address space, too
# little for a package of a gigabyte that it must map and hold once more.
function(read_le offset width out)
  file(READ "${FILE}" hex OFFSET ${offset} LIMIT ${width} HEX)
  set(value 0)
  math(EXPR last "${width} - 1")
  foreach(i RANGE ${last} 0 -1)
    math(EXPR pos "${i} * 2")
    string(SUBSTRING "${hex}" ${pos} 2 byte)
    math(EXPR value "(${value} << 8) | 0x${byte}")
  endforeach()
  set(${out} ${value} PARENT_SCOPE)
endfunction()

read_le(60 4 pe_offset)            # e_lfanew
math(EXPR characteristics_offset "${pe_offset} + 22")  # "PE\0\0" + 18 bytes of the file header
file(READ "${FILE}" signature OFFSET ${pe_offset} LIMIT 4 HEX)
if(NOT signature STREQUAL "50450000")
  message(FATAL_ERROR "${FILE}: no PE signature")
endif()
read_le(${characteristics_offset} 2 characteristics)
math(EXPR laa "${characteristics} & 0x20")
if(NOT laa)
  message(FATAL_ERROR "${FILE}: not large-address-aware (characteristics ${characteristics})")
endif()
message(STATUS "${FILE}: large-address-aware")
