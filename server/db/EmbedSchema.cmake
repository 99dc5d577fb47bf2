# Writes the schema text as one C++ raw string literal.
file(READ ${IN} text)
file(WRITE ${OUT} "R\"KELVOSCHEMA(${text})KELVOSCHEMA\"\n")
