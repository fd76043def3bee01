# Writes a C++ source that holds a text file, at build time:
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P embed_text.cmake
# The text becomes `extern const char SYMBOL[]`, in raw string literals of
# at most 8,000 characters each (every compiler takes those).
file(READ "${INPUT}" text)
string(FIND "${text}" ")kvtext\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string's end marker")
endif()
string(LENGTH "${text}" length)
set(out "// Made from ${INPUT} at build time; do not edit.\nextern const char ${SYMBOL}[];\nconst char ${SYMBOL}[] =\n")
set(at 0)
while(at LESS length)
  string(SUBSTRING "${text}" ${at} 8000 chunk)
  string(APPEND out "R\"kvtext(${chunk})kvtext\"\n")
  math(EXPR at "${at} + 8000")
endwhile()
string(APPEND out ";\n")
file(WRITE "${OUTPUT}" "${out}")
