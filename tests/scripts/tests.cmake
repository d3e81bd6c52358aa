# scripts/install-deps decides from the package database alone (--plan,
# with a fake dpkg-query): no root, nothing installed.
add_test(NAME install_deps_plan
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/install_deps_test.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(install_deps_plan PROPERTIES LABELS scripts)
