# A second updater for the key-rotation test: another development key and the built-in base path
# /rotated. Only the settings and key units are compiled again; the rest comes from quillor_core,
# whose own copies of those two units the linker then never takes. Never built with a real key.
if(NOT QUILLOR_SIGNING_KEY)
    return()
endif()
quillor_dev_key_pair(quillor-rotated rotated_private rotated_public)
quillor_key_source(${rotated_public} ${CMAKE_BINARY_DIR}/generated/rotated_key.cpp)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/rotated_settings.cpp CONTENT
"// Generated: the settings unit with the rotated updater's built-in base path; do not edit.
#undef QUILLOR_UPDATE_BASE_PATH
#define QUILLOR_UPDATE_BASE_PATH \"/rotated\"
#include \"base/settings.cpp\"
")
add_executable(quillor_updater_rotated WIN32 app/main_win.cpp resources/updater.rc
    ${CMAKE_BINARY_DIR}/generated/rotated_settings.cpp ${CMAKE_BINARY_DIR}/generated/rotated_key.cpp)
set_target_properties(quillor_updater_rotated PROPERTIES OUTPUT_NAME "Quillor - Updater rotated")
target_link_options(quillor_updater_rotated PRIVATE -municode -s)
target_link_libraries(quillor_updater_rotated PRIVATE quillor_core)
