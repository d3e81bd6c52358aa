# scripts/install-deps decides from the package database alone (--plan,
# with a fake dpkg-query): no root, nothing installed.
add_test(NAME install_deps_plan
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/install_deps_test.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(install_deps_plan PROPERTIES LABELS scripts)
# Names that only src/platform/ may use (calls, fields, paths and linker
# options some systems lack), and the lint's own patterns against planted
# lines.
add_test(NAME platform_names
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/platform_names.py ${PROJECT_SOURCE_DIR})
add_test(NAME platform_names_patterns
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/platform_names.py --self-test)
set_tests_properties(platform_names platform_names_patterns PROPERTIES LABELS scripts)
