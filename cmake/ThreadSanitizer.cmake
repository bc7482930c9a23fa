# ThreadSanitizer builds (-DZARV_SANITIZE=thread): every program that links the platform layer
# also gets the annotations of Qt's hand-offs between threads (src/tsan/QtHandoffs.cpp).
add_library(zarv_tsan_qt OBJECT "${PROJECT_SOURCE_DIR}/src/tsan/QtHandoffs.cpp")
target_link_libraries(zarv_tsan_qt PRIVATE Qt6::Core zarv_warnings)
set_target_properties(zarv_tsan_qt PROPERTIES AUTOMOC OFF AUTOUIC OFF)
target_link_libraries(zarv_platform INTERFACE $<TARGET_OBJECTS:zarv_tsan_qt> ${CMAKE_DL_LIBS})
add_dependencies(zarv_platform zarv_tsan_qt)
