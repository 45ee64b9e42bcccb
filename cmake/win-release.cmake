# The shipped exe: the same bytes from any build tree at any time, ASLR and DEP, Authenticode.
set(QUILLOR_SIGN ON CACHE BOOL "Sign Quillor - Updater.exe with Authenticode (osslsigncode)")
set(QUILLOR_SIGN_PKCS12 "" CACHE FILEPATH "Code-signing certificate and key as a PKCS#12 file")
set(QUILLOR_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate chain (PEM), used with QUILLOR_SIGN_KEY")
set(QUILLOR_SIGN_KEY "" CACHE FILEPATH "Private key (PEM) of QUILLOR_SIGN_CERT")
set(QUILLOR_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of the PKCS#12 file or key")
set(QUILLOR_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server URL")
set(QUILLOR_SIGN_COMMAND "" CACHE STRING
    "External signing command instead of the above; {in} is the unsigned exe, {out} the file to write")

# Build paths would differ from tree to tree; the link time stamp from second to second.
foreach(target quillor_core quillor_updater)
    target_compile_options(${target} PRIVATE
        -ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=build/)
endforeach()
target_link_options(quillor_updater PRIVATE -Wl,--no-insert-timestamp -Wl,--dynamicbase -Wl,--nxcompat)

# NB: never print QUILLOR_SIGN_COMMAND: a PKCS#11 URI in it may carry the token's PIN.
if(QUILLOR_SIGN_COMMAND MATCHES "pin-value=")
    message(WARNING "QUILLOR_SIGN_COMMAND holds a PIN (pin-value=), which CMake keeps in "
        "${CMAKE_BINARY_DIR}/CMakeCache.txt; give it as pin-source=file:PATH instead")
endif()

set(sign_dir ${CMAKE_BINARY_DIR}/codesign)
set(sign_settings ${sign_dir}/settings)
set(sign_text "")
if(QUILLOR_SIGN)
    set(sign_cert "${QUILLOR_SIGN_CERT}")
    set(sign_key "${QUILLOR_SIGN_KEY}")
    if(QUILLOR_SIGN_PKCS12 STREQUAL "" AND sign_cert STREQUAL "" AND QUILLOR_SIGN_COMMAND STREQUAL "")
        # A throw-away certificate for tests and the demo; nothing trusts it.
        set(sign_cert ${sign_dir}/throwaway-cert.pem)
        set(sign_key ${sign_dir}/throwaway-key.pem)
        if(NOT EXISTS ${sign_cert} OR NOT EXISTS ${sign_key})
            file(MAKE_DIRECTORY ${sign_dir})
            execute_process(COMMAND ${OPENSSL_EXECUTABLE} req -x509 -newkey rsa:2048 -nodes
                    -keyout ${sign_key} -out ${sign_cert} -days 3650
                    -subj "/O=Quillor test/CN=Quillor throw-away code signing"
                    -addext "keyUsage=critical,digitalSignature,keyCertSign"
                    -addext "extendedKeyUsage=codeSigning"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
            if(rc)
                message(FATAL_ERROR "could not make the throw-away code-signing certificate in ${sign_dir}")
            endif()
            file(CHMOD ${sign_key} PERMISSIONS OWNER_READ OWNER_WRITE)
        endif()
        message(STATUS "Signing with the throw-away certificate ${sign_cert}")
    endif()
    set(sign_text "pkcs12=${QUILLOR_SIGN_PKCS12}
password_file=${QUILLOR_SIGN_PASSWORD_FILE}
cert=${sign_cert}
key=${sign_key}
timestamp_url=${QUILLOR_SIGN_TIMESTAMP_URL}
command=${QUILLOR_SIGN_COMMAND}
")
    add_custom_command(TARGET quillor_updater POST_BUILD
        COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/sign.sh ${sign_settings} $<TARGET_FILE:quillor_updater>
        VERBATIM)
else()
    file(REMOVE "${CMAKE_BINARY_DIR}/Quillor - Updater.unsigned.exe")
endif()
# Written as is (a PKCS#11 URI may hold ';' or '@'), also empty when not signing, and copied over
# only when it changed: a changed setting relinks and signs again. Owner only, as it may hold a PIN.
file(WRITE ${sign_settings}.new "${sign_text}")
file(CHMOD ${sign_settings}.new PERMISSIONS OWNER_READ OWNER_WRITE)
configure_file(${sign_settings}.new ${sign_settings} COPYONLY)
file(CHMOD ${sign_settings} PERMISSIONS OWNER_READ OWNER_WRITE)
file(REMOVE ${sign_settings}.new)
set_property(TARGET quillor_updater APPEND PROPERTY LINK_DEPENDS ${sign_settings} ${CMAKE_SOURCE_DIR}/cmake/sign.sh)

# Both check the shipped exe, also from an x86_64 test copy's tree.
add_test(NAME exe_reproducible
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/app/check_reproducible.sh ${QUILLOR_SHIPPED_BUILD})
set_tests_properties(exe_reproducible PROPERTIES TIMEOUT 900)
add_test(NAME exe_signing COMMAND bash ${CMAKE_SOURCE_DIR}/tests/app/check_signing.sh ${QUILLOR_SHIPPED_BUILD})
set_tests_properties(exe_signing PROPERTIES TIMEOUT 120)
