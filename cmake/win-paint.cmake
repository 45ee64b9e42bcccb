# Frame painter tools: the paint benchmark and the off-screen frame renderer (screenshots).
foreach(tool paint_bench render_frame)
    add_executable(${tool} ${CMAKE_SOURCE_DIR}/bench/paint/${tool}_win.cpp)
    target_link_libraries(${tool} PRIVATE quillor_core ${QUILLOR_SYSTEM_IMPORTS})
    target_link_options(${tool} PRIVATE -municode)
endforeach()
set_target_properties(render_frame PROPERTIES OUTPUT_NAME quillor_paint_frame)
