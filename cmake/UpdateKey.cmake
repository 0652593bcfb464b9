# The update-signing public key compiled into the updater.
#
#   -DVELLUMIX_UPDATE_KEY_MODULUS=<768 lower-case hex digits>
#       the modulus of the release key (the exponent is always 65537); `vellumix-publish modulus
#       KEY.pem` prints it.
#   (not given)
#       a development key pair is generated into this build tree once and its modulus compiled
#       in. Updaters built that way accept only manifests signed by that throw-away key.
#
# Sets for the rest of the build:
#   VELLUMIX_UPDATE_KEY_INCLUDE_DIR  directory of the generated updatekey.h
#   VELLUMIX_DEV_SIGNING_KEY         absolute path of the development private key (PEM), or empty
#                                    when a release modulus was given

set(VELLUMIX_UPDATE_KEY_MODULUS "" CACHE STRING
    "Modulus of the update-signing public key: 768 lower-case hex digits (empty: a development key)")

set(VELLUMIX_UPDATE_KEY_INCLUDE_DIR ${CMAKE_BINARY_DIR}/generated)
set(VELLUMIX_DEV_SIGNING_KEY "")

if(NOT VELLUMIX_UPDATE_KEY_MODULUS STREQUAL "")
    string(LENGTH "${VELLUMIX_UPDATE_KEY_MODULUS}" _vx_length)
    if(NOT _vx_length EQUAL 768 OR NOT VELLUMIX_UPDATE_KEY_MODULUS MATCHES "^[0-9a-f]+$")
        message(FATAL_ERROR
            "VELLUMIX_UPDATE_KEY_MODULUS must be exactly 768 lower-case hexadecimal digits (the "
            "modulus of an RSA-3072 key, most significant digit first, no upper-case letters); "
            "the value given has ${_vx_length} characters. Print the right value with: "
            "vellumix-publish modulus KEY.pem")
    endif()
    if(NOT VELLUMIX_UPDATE_KEY_MODULUS MATCHES "^[89a-f]")
        message(FATAL_ERROR
            "VELLUMIX_UPDATE_KEY_MODULUS has a leading digit below 8, so it is not the modulus of "
            "a 3072-bit key. Print the right value with: vellumix-publish modulus KEY.pem")
    endif()
    set(_vx_modulus "${VELLUMIX_UPDATE_KEY_MODULUS}")
    message(STATUS "Update-signing key: release modulus ${_vx_modulus}")
else()
    find_program(VELLUMIX_OPENSSL_PROGRAM openssl)
    if(NOT VELLUMIX_OPENSSL_PROGRAM)
        message(FATAL_ERROR
            "No update-signing key given and no openssl program found to generate a development "
            "key. Give the release key with -DVELLUMIX_UPDATE_KEY_MODULUS=<768 hex digits> or "
            "install openssl.")
    endif()
    set(_vx_key ${CMAKE_BINARY_DIR}/devkey/update-signing-dev.pem)
    # The key is made once per build tree: tests, the demo and signed files left in the tree keep
    # working across re-configures. openssl writes private keys with owner-only permissions.
    if(NOT EXISTS ${_vx_key})
        file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/devkey)
        execute_process(
            COMMAND ${VELLUMIX_OPENSSL_PROGRAM} genrsa -out ${_vx_key}.new 3072
            RESULT_VARIABLE _vx_result OUTPUT_QUIET ERROR_VARIABLE _vx_error)
        if(NOT _vx_result EQUAL 0)
            file(REMOVE ${_vx_key}.new)
            message(FATAL_ERROR "Generating the development signing key failed: ${_vx_error}")
        endif()
        file(RENAME ${_vx_key}.new ${_vx_key})
    endif()
    execute_process(
        COMMAND ${VELLUMIX_OPENSSL_PROGRAM} rsa -in ${_vx_key} -noout -modulus
        RESULT_VARIABLE _vx_result OUTPUT_VARIABLE _vx_output ERROR_VARIABLE _vx_error
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REGEX REPLACE "^Modulus=" "" _vx_modulus "${_vx_output}")
    string(TOLOWER "${_vx_modulus}" _vx_modulus)
    string(LENGTH "${_vx_modulus}" _vx_length)
    if(NOT _vx_result EQUAL 0 OR NOT _vx_length EQUAL 768 OR NOT _vx_modulus MATCHES "^[0-9a-f]+$")
        message(FATAL_ERROR
            "The development signing key ${_vx_key} is unreadable or not an RSA-3072 key "
            "(${_vx_error}). Delete it and configure again.")
    endif()
    set(VELLUMIX_DEV_SIGNING_KEY ${_vx_key})
    message(WARNING
        "\n"
        "  ************************************************************************\n"
        "  *  DEVELOPMENT UPDATE-SIGNING KEY COMPILED IN                          *\n"
        "  *  No -DVELLUMIX_UPDATE_KEY_MODULUS was given. This updater trusts     *\n"
        "  *  only the throw-away key in the build tree:                          *\n"
        "  *  ${_vx_key}\n"
        "  *  Never ship this build. See docs/releasing.md.                       *\n"
        "  ************************************************************************\n")
endif()

file(MAKE_DIRECTORY ${VELLUMIX_UPDATE_KEY_INCLUDE_DIR})
# configure_file rewrites the header only when the key changes, so a re-configure with the same
# key recompiles nothing.
set(VELLUMIX_UPDATE_KEY_MODULUS_TEXT "${_vx_modulus}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/updatekey.h.in ${VELLUMIX_UPDATE_KEY_INCLUDE_DIR}/updatekey.h
               @ONLY)
unset(_vx_key)
unset(_vx_modulus)
unset(_vx_length)
unset(_vx_result)
unset(_vx_output)
unset(_vx_error)
