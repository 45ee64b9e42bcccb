# Builds the publisher's public key into the program as a 283-byte CNG RSAPUBLICBLOB.
# Without QUILLOR_PUBLIC_KEY_PEM a development key pair is made in the build tree (never committed).
find_program(OPENSSL_EXECUTABLE openssl REQUIRED)

# Makes (once) the development key pair devkey/NAME.pem and devkey/NAME.pub.pem in the build tree.
function(quillor_dev_key_pair name private_var public_var)
    set(dev_dir ${CMAKE_BINARY_DIR}/devkey)
    set(private ${dev_dir}/${name}.pem)
    set(public ${dev_dir}/${name}.pub.pem)
    if(NOT EXISTS ${private} OR NOT EXISTS ${public})
        file(MAKE_DIRECTORY ${dev_dir})
        execute_process(COMMAND ${OPENSSL_EXECUTABLE} genrsa -out ${private} 2048
            RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
        execute_process(COMMAND ${OPENSSL_EXECUTABLE} rsa -in ${private} -pubout -out ${public}
            RESULT_VARIABLE rc2 OUTPUT_QUIET ERROR_QUIET)
        if(rc OR rc2)
            message(FATAL_ERROR "could not generate the development key pair in ${dev_dir}")
        endif()
        file(CHMOD ${private} PERMISSIONS OWNER_READ OWNER_WRITE)
    endif()
    set(${private_var} ${private} PARENT_SCOPE)
    set(${public_var} ${public} PARENT_SCOPE)
endfunction()

# Writes the C++ source out_cpp that defines kPublicKeyBlob from key_pem (RSA-2048, e = 65537).
function(quillor_key_source key_pem out_cpp)
    if(NOT EXISTS "${key_pem}")
        message(FATAL_ERROR "QUILLOR_PUBLIC_KEY_PEM: no such file: ${key_pem}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${key_pem})
    execute_process(COMMAND ${OPENSSL_EXECUTABLE} rsa -pubin -in ${key_pem} -noout -modulus
        OUTPUT_VARIABLE modulus_line RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${OPENSSL_EXECUTABLE} rsa -pubin -in ${key_pem} -noout -text
        OUTPUT_VARIABLE key_text ERROR_QUIET)
    if(rc OR NOT modulus_line MATCHES "^Modulus=([0-9A-F]+)$")
        message(FATAL_ERROR "${key_pem} is not an RSA public key")
    endif()
    set(modulus ${CMAKE_MATCH_1})
    string(LENGTH "${modulus}" modulus_len)
    if(NOT modulus_len EQUAL 512 OR NOT key_text MATCHES "Exponent: 65537 " OR modulus MATCHES "^[0-7]")
        message(FATAL_ERROR "${key_pem} must be an RSA-2048 key with public exponent 65537")
    endif()
    # "RSA1", bit length 2048, exponent 3 bytes, modulus 256 bytes, no primes; then 01 00 01 and the modulus.
    set(blob "525341310008000003000000000100000000000000000000010001${modulus}")
    string(REGEX REPLACE "([0-9A-F][0-9A-F])" "0x\\1," bytes "${blob}")
    string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
    file(CONFIGURE OUTPUT ${out_cpp} CONTENT
"// Generated from @key_pem@ at configure time; do not edit.
#include \"update/public_key.h\"

const unsigned char kPublicKeyBlob[kPublicKeyBlobSize] = {
    @bytes@
};
" @ONLY)
endfunction()

set(QUILLOR_SIGNING_KEY "")
set(key_pem "${QUILLOR_PUBLIC_KEY_PEM}")
if(key_pem STREQUAL "")
    quillor_dev_key_pair(quillor-dev QUILLOR_SIGNING_KEY key_pem)
    message(WARNING
        "\n*** DEVELOPMENT KEY BUILT IN ***\n"
        "No QUILLOR_PUBLIC_KEY_PEM was given, so this updater trusts the development key\n"
        "${QUILLOR_SIGNING_KEY}\n"
        "Never ship this build. Release builds pass -DQUILLOR_PUBLIC_KEY_PEM=<publisher key>.\n")
endif()
set(QUILLOR_KEY_SOURCE ${CMAKE_BINARY_DIR}/generated/public_key.cpp)
quillor_key_source(${key_pem} ${QUILLOR_KEY_SOURCE})
