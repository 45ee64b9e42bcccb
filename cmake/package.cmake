# Installing the publisher (cmake --install build/host) and its Debian package (cpack in build/host).
# Only the publisher is installed: the tests, gtest and the portable libraries have no install rule.
include(GNUInstallDirs)
find_program(QUILLOR_SCDOC scdoc REQUIRED)
set(publish_dir ${CMAKE_SOURCE_DIR}/tools/publish)
set(man_source ${CMAKE_SOURCE_DIR}/docs/man/quillor-publish.1.scd)
set(man_page ${CMAKE_BINARY_DIR}/package/quillor-publish.1.gz)
set(changelog ${CMAKE_BINARY_DIR}/package/changelog.gz)
# gzip -n: no name or time in the header, so the same source gives the same bytes.
add_custom_command(OUTPUT ${man_page}
    COMMAND sh -c "\"$0\" <\"$1\" | gzip -9n >\"$2.new\" && mv \"$2.new\" \"$2\"" ${QUILLOR_SCDOC} ${man_source} ${man_page}
    DEPENDS ${man_source} VERBATIM)
add_custom_command(OUTPUT ${changelog}
    COMMAND sh -c "gzip -9n <\"$0\" >\"$1.new\" && mv \"$1.new\" \"$1\"" ${publish_dir}/package/changelog ${changelog}
    DEPENDS ${publish_dir}/package/changelog VERBATIM)
add_custom_target(publish_package_files ALL DEPENDS ${man_page} ${changelog})

file(STRINGS ${publish_dir}/package/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^quillor-publish \\(${PROJECT_VERSION}\\) ")
    message(WARNING "tools/publish/package/changelog has no entry for ${PROJECT_VERSION} at the top; lintian will object")
endif()

# Debian's hardening (dpkg-buildflags) for what is packaged: fortified calls, bind-now.
foreach(target quillor-publish quillor_publish_core quillor_publish_keys quillor_publish_tree quillor_publish_serve
        quillor_publish_check quillor_publish_release quillor_publish_stage quillor_publish_report quillor_portable)
    target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endforeach()
target_link_options(quillor-publish PRIVATE -Wl,-z,relro,-z,now)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS quillor-publish RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT publisher)
# install --strip (so cpack) also drops the compiler notes, as Debian's dh_strip does.
install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quillor-publish\")
endif()" COMPONENT publisher)
install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT publisher)
install(FILES ${publish_dir}/package/quillor-publish.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quillor-publish COMPONENT publisher)
install(FILES ${publish_dir}/serve/nginx-site.conf ${publish_dir}/serve/varnish-edge.vcl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quillor-publish COMPONENT publisher)
install(FILES ${publish_dir}/package/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillor-publish COMPONENT publisher)

set(CPACK_GENERATOR DEB)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};publisher;/")
set(CPACK_PACKAGE_NAME quillor-publish)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quillor-publish_VERSION_ARCH.deb, ARCH from dpkg
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillor maintainers <maintainers@users.noreply.c-seed-bc16d083.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nginx | nginx-light, varnish")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "publisher of signed releases for the Quillor updater")
set(CPACK_PACKAGE_DESCRIPTION "quillor-publish makes signed server trees for the Quillor game's updater from
release folders, swaps them in whole and crash-safe, stages a release for a
share of the players, checks what an origin or an edge serves, and prints the
nginx site and Varnish VCL for a server folder.")
include(CPack)
