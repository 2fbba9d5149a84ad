# Signs one program in place with Authenticode (osslsigncode, SHA-256):
#
#   cmake -DPROGRAM=<exe> -DPKCS12=<certificate.p12> [-DPASSWORD_FILE=<file>]
#         -P packaging/sign.cmake
#
# The package target runs it on both programs in the zip when
# VARNICK_SIGN_PKCS12 is set. No time stamp is asked for: that needs a time
# stamping server on the network, so a signature made here is valid for as
# long as its certificate is.
foreach(required PROGRAM PKCS12)
  if(NOT ${required})
    message(FATAL_ERROR "sign.cmake needs -D${required}=...")
  endif()
endforeach()
find_program(OSSLSIGNCODE osslsigncode REQUIRED)
set(password_args "")
if(PASSWORD_FILE)
  set(password_args -readpass "${PASSWORD_FILE}")
endif()
set(signed "${PROGRAM}.signed")
file(REMOVE "${signed}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${PKCS12}" ${password_args} -h sha256 -n Varnick
          -in "${PROGRAM}" -out "${signed}"
  RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
  file(REMOVE "${signed}")
  message(FATAL_ERROR "osslsigncode could not sign ${PROGRAM}")
endif()
file(RENAME "${signed}" "${PROGRAM}")
message(STATUS "Signed ${PROGRAM}")
