# Signature test fixtures made at build time: openssl signatures of sample manifests and the
# Wycheproof PKCS #1 v1.5 vectors in a line format; all outputs stay in the build tree.
find_program(PYTHON3_EXECUTABLE python3 REQUIRED)

set(QUILLOR_SIGNATURE_TEST_KEY "" CACHE FILEPATH
    "Private key matching a custom QUILLOR_PUBLIC_KEY_PEM, only to check such a build by hand")
set(QUILLOR_SIGNATURE_FOREIGN_KEY "" CACHE FILEPATH
    "Private key whose signatures the tests expect refused; empty: one is generated")

set(sig_dir ${CMAKE_BINARY_DIR}/fixtures/signature)
file(MAKE_DIRECTORY ${sig_dir})

# The key that matches the built-in public key: the development key, or one given by hand.
set(sig_key "${QUILLOR_SIGNING_KEY}")
if(sig_key STREQUAL "")
    set(sig_key "${QUILLOR_SIGNATURE_TEST_KEY}")
endif()

# Sample manifests; file(CONFIGURE) rewrites them only when the text changes.
string(CONCAT sample "serial 12\n"
    "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\t4\tbin/game.exe\n"
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\t0\tdaten/Grüße.txt\n")
file(CONFIGURE OUTPUT ${sig_dir}/manifest.txt CONTENT "${sample}" NEWLINE_STYLE UNIX)
file(CONFIGURE OUTPUT ${sig_dir}/manifest_crlf.txt CONTENT "${sample}" NEWLINE_STYLE DOS)
file(CONFIGURE OUTPUT ${sig_dir}/empty.txt CONTENT "")

set(sig_outputs)
function(quillor_sign output key input)  # extra arguments go to openssl dgst
    add_custom_command(OUTPUT ${sig_dir}/${output}
        COMMAND ${OPENSSL_EXECUTABLE} dgst ${ARGN} -sign ${key} -out ${output} ${input}
        DEPENDS ${key} ${sig_dir}/${input} WORKING_DIRECTORY ${sig_dir} VERBATIM)
    set(sig_outputs ${sig_outputs} ${sig_dir}/${output} PARENT_SCOPE)
endfunction()

set(foreign_key "${QUILLOR_SIGNATURE_FOREIGN_KEY}")
if(foreign_key STREQUAL "")
    set(foreign_key ${sig_dir}/foreign.pem)
    add_custom_command(OUTPUT ${foreign_key}
        COMMAND ${OPENSSL_EXECUTABLE} genrsa -out ${foreign_key} 2048
        WORKING_DIRECTORY ${sig_dir} VERBATIM)
endif()
quillor_sign(foreign.sig ${foreign_key} manifest.txt -sha256)

if(NOT sig_key STREQUAL "")
    quillor_sign(valid.sig ${sig_key} manifest.txt -sha256)
    quillor_sign(crlf.sig ${sig_key} manifest_crlf.txt -sha256)
    quillor_sign(empty.sig ${sig_key} empty.txt -sha256)
    quillor_sign(pss.sig ${sig_key} manifest.txt -sha256 -sigopt rsa_padding_mode:pss)
    quillor_sign(sha1.sig ${sig_key} manifest.txt -sha1)
    quillor_sign(sha512.sig ${sig_key} manifest.txt -sha512)
    add_custom_command(OUTPUT ${sig_dir}/valid.sig.b64
        COMMAND ${OPENSSL_EXECUTABLE} base64 -A -in valid.sig -out valid.sig.b64
        DEPENDS ${sig_dir}/valid.sig WORKING_DIRECTORY ${sig_dir} VERBATIM)
    list(APPEND sig_outputs ${sig_dir}/valid.sig.b64)
endif()

set(wycheproof_json ${CMAKE_SOURCE_DIR}/tests/update/fixtures/wycheproof/rsa_signature_2048_sha256_test.json)
set(wycheproof_script ${CMAKE_SOURCE_DIR}/tests/update/fixtures/wycheproof_to_text.py)
add_custom_command(OUTPUT ${sig_dir}/wycheproof.txt
    COMMAND ${PYTHON3_EXECUTABLE} ${wycheproof_script} ${wycheproof_json} ${sig_dir}/wycheproof.txt
    DEPENDS ${wycheproof_script} ${wycheproof_json} VERBATIM)
list(APPEND sig_outputs ${sig_dir}/wycheproof.txt)

add_custom_target(signature_fixtures DEPENDS ${sig_outputs})
if(TARGET tests_update)
    add_dependencies(tests_update signature_fixtures)
    set_source_files_properties(${CMAKE_SOURCE_DIR}/tests/update/signature_win_test.cpp PROPERTIES
        COMPILE_DEFINITIONS "QUILLOR_SIGNATURE_FIXTURES=\"${sig_dir}\";QUILLOR_SIGNATURE_KEY=\"${sig_key}\"")
endif()
