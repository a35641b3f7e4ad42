# Build step: checks a public JWK and writes the source file that compiles it in.
#
#   cmake -DMOVRA_JWK=<key> -DMOVRA_KEY_ORIGIN=<what names the key> -DMOVRA_TEMPLATE=<server_key.cpp.in>
#         -DMOVRA_OUTPUT=<server_key.cpp> -P EmbedServerKey.cmake
#
# Stops with a message naming what is wrong with the key. The output is rewritten only when its text
# changes, so an unchanged key recompiles nothing.
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/ServerKey.cmake")

foreach(required MOVRA_JWK MOVRA_KEY_ORIGIN MOVRA_TEMPLATE MOVRA_OUTPUT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "EmbedServerKey.cmake: ${required} is not set")
  endif()
endforeach()

movra_check_server_jwk("${MOVRA_JWK}" problem MOVRA_SERVER_KEY_TEXT)
if(problem)
  message(FATAL_ERROR "${MOVRA_KEY_ORIGIN} ${MOVRA_JWK}: ${problem}")
endif()
string(LENGTH "${MOVRA_SERVER_KEY_TEXT}" MOVRA_SERVER_KEY_LENGTH)
configure_file("${MOVRA_TEMPLATE}" "${MOVRA_OUTPUT}" @ONLY)
