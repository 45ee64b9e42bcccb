# The x86_64 test copy of the updater, for machines whose kernel runs no 32-bit programs.
set(QUILLOR_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
