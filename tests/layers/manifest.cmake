# Two layers for the layer check's own test: lower stands on nothing, upper on lower.
set(ROOT "${CMAKE_CURRENT_LIST_DIR}")
set(TARGETS "lower;upper")
set(FILES_lower "${ROOT}/lower/lower.h")
set(ALLOWED_lower "lower")
set(FILES_upper "${ROOT}/upper/upper.h")
set(ALLOWED_upper "upper;lower")
