# Writes the live page into a C++ header as one raw string literal.
file(READ "${INPUT}" page)
file(WRITE "${OUTPUT}" "// Generated from live_page.html by embed_page.cmake.\n#pragma once\nnamespace korvane::coordinator {\ninline constexpr const char kLivePage[] = R\"korvane_page(${page})korvane_page\";\n}\n")
