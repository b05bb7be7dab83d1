# Writes the updater's built-in key block from a DER public-key file.
#   cmake -DKEY_FILE=<key.der> -DOUTPUT=<generated .cpp> -P embed-public-key.cmake
if(NOT KEY_FILE OR NOT OUTPUT)
    message(FATAL_ERROR "embed-public-key.cmake needs KEY_FILE and OUTPUT")
endif()
if(NOT EXISTS "${KEY_FILE}")
    message(FATAL_ERROR "Signing public key not found: ${KEY_FILE}")
endif()

set(block_size 2048)
file(READ "${KEY_FILE}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR key_length "${hex_length} / 2")
if(key_length EQUAL 0 OR key_length GREATER block_size)
    message(FATAL_ERROR
        "Signing public key ${KEY_FILE} has ${key_length} bytes; it must be 1 to ${block_size}")
endif()
string(SUBSTRING "${hex}" 0 2 first_byte)
if(NOT first_byte STREQUAL "30")
    message(FATAL_ERROR
        "Signing public key ${KEY_FILE} is not a DER RSAPublicKey (a PEM file can be converted "
        "with: openssl rsa -pubin -in key.pem -RSAPublicKey_out -outform DER -out key.der)")
endif()

# A private key (PKCS #1 or PKCS #8) starts its SEQUENCE with the version INTEGER 0; a public key
# never does. Refuse it: it would ship the publisher's secret inside every updater.
string(SUBSTRING "${hex}" 2 2 length_byte)
set(body_offset 4)
if(length_byte STREQUAL "81")
    set(body_offset 6)
elseif(length_byte STREQUAL "82")
    set(body_offset 8)
endif()
if(hex_length GREATER body_offset)
    string(SUBSTRING "${hex}" ${body_offset} 6 first_integer)
    if(first_integer STREQUAL "020100")
        message(FATAL_ERROR
            "Signing public key ${KEY_FILE} holds a private key; give the public half "
            "(openssl rsa -in key.pem -RSAPublicKey_out -outform DER -out key.public.der)")
    endif()
endif()

# Twelve bytes a line.
set(bytes "")
set(offset 0)
while(offset LESS hex_length)
    string(SUBSTRING "${hex}" ${offset} 24 line_hex)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " line "${line_hex}")
    string(STRIP "${line}" line)
    string(APPEND bytes "    ${line}\n")
    math(EXPR offset "${offset} + 24")
endwhile()

file(WRITE "${OUTPUT}" "// Generated at build time from ${KEY_FILE} (${key_length} bytes); do not edit.
#include \"cryptwrapper.h\"

// The rest of the block is zero.
const unsigned char builtinPublicKeyBlock[cryptKeyBlockSize] = {
${bytes}};
")
