# The resource archive every binary of the project carries: the message catalog
# compiled from resources/zyk_backend_local.msg.txt, packed into a zip archive
# and appended to each ELF file as a non-loaded ".zip" section. The library
# finds the archive through its own file's section headers, so stripping (which
# moves the section) keeps it readable; without it, the first error that needs
# a message text stops the process.

set(ZYK_RESOURCE_DIR ${CMAKE_BINARY_DIR}/resources)
set(ZYK_MESSAGE_SOURCE ${CMAKE_SOURCE_DIR}/resources/zyk_backend_local.msg.txt)
set(ZYK_MESSAGE_CATALOG ${ZYK_RESOURCE_DIR}/zyk_backend_local.msg)
set(ZYK_RESOURCE_ARCHIVE ${ZYK_RESOURCE_DIR}/zyk_backend_local.zip)

add_custom_command(
  OUTPUT ${ZYK_MESSAGE_CATALOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZYK_RESOURCE_DIR}
  COMMAND zyk_mkmsg ${ZYK_MESSAGE_SOURCE} ${ZYK_MESSAGE_CATALOG}
  DEPENDS zyk_mkmsg ${ZYK_MESSAGE_SOURCE}
  COMMENT "Compiling the message catalog"
  VERBATIM)
add_custom_command(
  OUTPUT ${ZYK_RESOURCE_ARCHIVE}
  COMMAND zyk_mkzip create ${ZYK_RESOURCE_ARCHIVE} zyk_backend_local.msg=${ZYK_MESSAGE_CATALOG}
  DEPENDS zyk_mkzip ${ZYK_MESSAGE_CATALOG}
  COMMENT "Packing the resource archive"
  VERBATIM)
add_custom_target(zyk_resources DEPENDS ${ZYK_RESOURCE_ARCHIVE})

# Gives `target` (a shared library or executable) its own ".zip" section after
# every link. Call before other POST_BUILD steps that run the binary.
function(zyk_embed_resources target)
  add_dependencies(${target} zyk_resources)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${ZYK_RESOURCE_ARCHIVE})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND zyk_mkzip embed $<TARGET_FILE:${target}> ${ZYK_RESOURCE_ARCHIVE}
    VERBATIM)
endfunction()
