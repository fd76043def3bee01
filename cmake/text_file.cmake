# cmake -DIN=FILE -DOUT=FILE [-DKV_VERSION=V] [-DCRLF=ON] -P text_file.cmake
# Copies a text file, putting the version in for @KV_VERSION@ and, with
# CRLF, ending every line with CR LF (for Windows users' editors).
cmake_minimum_required(VERSION 3.25)
file(READ "${IN}" text)
string(CONFIGURE "${text}" text @ONLY)
if(CRLF)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
endif()
file(WRITE "${OUT}" "${text}")
