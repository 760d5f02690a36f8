zelk_add_test(field_record_test zelk_extformat field_record_test.cpp)
zelk_add_test(extformat_test zelk_extformat extformat_test.cpp)
# Compared with the C runtime's printf, which only glibc's is the model of.
if(NOT WIN32)
  zelk_add_test(extformat_glibc_test zelk_extformat extformat_glibc_test.cpp)
endif()
