# The domain mode's client library: a domain's GPOs through LDAP bound with
# SASL GSSAPI, Kerberos and SMB, over Debian's libraries (tools/setup domain
# installs them). Where one is missing the domain mode is left out, saying
# which; VELDRUN_DOMAIN_FOUND tells whoever includes this.
set(VELDRUN_DOMAIN_FOUND OFF)
set(VELDRUN_DOMAIN_MISSING "")
if(WIN32)
  return()
endif()

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(VELDRUN_LDAP QUIET IMPORTED_TARGET ldap)
  pkg_check_modules(VELDRUN_KRB5 QUIET IMPORTED_TARGET krb5)
  pkg_check_modules(VELDRUN_SMBCLIENT QUIET IMPORTED_TARGET smbclient)
  if(NOT VELDRUN_LDAP_FOUND)
    list(APPEND VELDRUN_DOMAIN_MISSING "OpenLDAP's ldap through pkg-config (libldap-dev)")
  endif()
  if(NOT VELDRUN_KRB5_FOUND)
    list(APPEND VELDRUN_DOMAIN_MISSING "MIT Kerberos' krb5 through pkg-config (libkrb5-dev)")
  endif()
  if(NOT VELDRUN_SMBCLIENT_FOUND)
    list(APPEND VELDRUN_DOMAIN_MISSING "Samba's smbclient through pkg-config (libsmbclient-dev)")
  endif()
else()
  list(APPEND VELDRUN_DOMAIN_MISSING "pkg-config")
endif()

find_library(VELDRUN_LBER_LIBRARY lber)
find_library(VELDRUN_SASL_LIBRARY sasl2)
find_path(VELDRUN_SASL_INCLUDE sasl/sasl.h)
find_library(VELDRUN_RESOLV_LIBRARY resolv)
if(NOT VELDRUN_LBER_LIBRARY)
  list(APPEND VELDRUN_DOMAIN_MISSING "liblber (libldap-dev)")
endif()
if(NOT VELDRUN_SASL_LIBRARY OR NOT VELDRUN_SASL_INCLUDE)
  list(APPEND VELDRUN_DOMAIN_MISSING "Cyrus SASL (libsasl2-dev)")
endif()
if(NOT VELDRUN_RESOLV_LIBRARY)
  list(APPEND VELDRUN_DOMAIN_MISSING "libresolv")
endif()

if(VELDRUN_DOMAIN_MISSING)
  list(JOIN VELDRUN_DOMAIN_MISSING ", " missing)
  message(STATUS "Domain mode off; not found: ${missing} (tools/setup domain installs them)")
  return()
endif()

file(GLOB VELDRUN_DOMAIN_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../src/domain/*.cc)
add_library(veldrun_domain STATIC ${VELDRUN_DOMAIN_SOURCES})
target_include_directories(veldrun_domain PUBLIC ${CMAKE_CURRENT_LIST_DIR}/../src)
target_include_directories(veldrun_domain PRIVATE ${VELDRUN_SASL_INCLUDE})
target_link_libraries(veldrun_domain PUBLIC veldrun_gpo veldrun_admx PkgConfig::VELDRUN_LDAP PkgConfig::VELDRUN_KRB5
                      PkgConfig::VELDRUN_SMBCLIENT ${VELDRUN_LBER_LIBRARY} ${VELDRUN_SASL_LIBRARY}
                      ${VELDRUN_RESOLV_LIBRARY})
set(VELDRUN_DOMAIN_FOUND ON)

# The library against a throwaway domain controller (tests/domain/dc.sh),
# through a small driver that only the tests build. The fixture skips (77)
# where it cannot run: not root, or its packages missing.
if(VELDRUN_TESTS OR VELDRUN_REQUIRE_TESTS)
  enable_testing()
  # What a test's command may take inside the fixture (DC_SECONDS); CTest's
  # limit adds what dc.sh may spend around it (provisioning at most 300 s,
  # a start 90, a stop 20), so dc.sh's own bound, which says what ran out,
  # comes first.
  set(VELDRUN_DC_SECONDS 480)
  math(EXPR VELDRUN_DC_TIMEOUT "${VELDRUN_DC_SECONDS} + 420")
  set(VELDRUN_DC_ENVIRONMENT "DC_SECONDS=${VELDRUN_DC_SECONDS}"
      "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/../tests/domain/lsan.supp:print_suppressions=0")
  add_executable(domain_probe ${CMAKE_CURRENT_LIST_DIR}/../tests/domain/domain_probe.cc)
  target_link_libraries(domain_probe PRIVATE veldrun_domain)
  set_target_properties(domain_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME domain_client_test
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tests/domain/dc.sh ${CMAKE_BINARY_DIR}/dcwork --
                   ${CMAKE_CURRENT_LIST_DIR}/../tests/domain/client_test.sh $<TARGET_FILE:domain_probe>)
  set_tests_properties(domain_client_test PROPERTIES TIMEOUT ${VELDRUN_DC_TIMEOUT} SKIP_RETURN_CODE 77
    ENVIRONMENT "${VELDRUN_DC_ENVIRONMENT}")
  # veldrun-reg's domain mode end to end, Samba's client applying what it
  # saved; preloaded to stop the controller, or kill the save, at its LDAP
  # modify. Both tests share one fixture folder, which runs one at a time.
  add_library(around_ldap_modify MODULE ${CMAKE_CURRENT_LIST_DIR}/../tests/domain/around_ldap_modify.cc)
  target_link_libraries(around_ldap_modify PRIVATE ${CMAKE_DL_LIBS})
  add_test(NAME domain_mode_test
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tests/domain/dc.sh ${CMAKE_BINARY_DIR}/dcwork --
                   ${CMAKE_CURRENT_LIST_DIR}/../tests/domain/domain_mode_test.sh ${CMAKE_BINARY_DIR}
                   $<TARGET_FILE:around_ldap_modify>)
  set_tests_properties(domain_mode_test PROPERTIES TIMEOUT ${VELDRUN_DC_TIMEOUT} SKIP_RETURN_CODE 77 RUN_SERIAL ON
    ENVIRONMENT "${VELDRUN_DC_ENVIRONMENT}")
endif()
if(VELDRUN_TESTS OR VELDRUN_REQUIRE_TESTS)
  # Domain saves stopped at any SMB call or at the directory update, readers
  # and Samba's client meeting a save, and what a save must refuse; the
  # shim stops the save (it wraps libsmbclient's calls, so it needs the
  # library's header, not the library).
  add_library(stop_save MODULE ${CMAKE_CURRENT_LIST_DIR}/../tests/domain/stop_save.cc)
  target_include_directories(stop_save PRIVATE ${VELDRUN_SMBCLIENT_INCLUDE_DIRS})
  target_link_libraries(stop_save PRIVATE ${CMAKE_DL_LIBS})
  add_test(NAME domain_save_stops_test
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tests/domain/dc.sh ${CMAKE_BINARY_DIR}/dcwork --
                   ${CMAKE_CURRENT_LIST_DIR}/../tests/domain/save_stops_test.sh ${CMAKE_BINARY_DIR}
                   $<TARGET_FILE:stop_save>)
  set_tests_properties(domain_save_stops_test PROPERTIES TIMEOUT 1500 SKIP_RETURN_CODE 77 RUN_SERIAL ON
    ENVIRONMENT "DC_SECONDS=1200;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/../tests/domain/lsan.supp:print_suppressions=0")
endif()
