# A program's --help as help2man reads a synopsis: the "Uso:" lines of the usage,
# one line a form, the forms after the first as "or:" lines. The rest goes as it is.
NR == 1 && sub(/^Uso: /, "Usage: ") { line = $0; next }
line != "" && /^ +zov-/ { print line; sub(/^ +/, "  or: "); line = $0; next }
line != "" && /^ +/ { sub(/^ +/, " "); line = line $0; next }
line != "" { print line; line = "" }
{ print }
END { if (line != "") print line }
