// Writes the event-editing fuzzer's seed corpus: programs in the notation of the runtime's tests,
// encoded as wire messages, one file each in the folder given as the only argument.
#include <fstream>
#include <string>

#include "measurement/runtime/pixie/pixie_asm.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const char* programs[] = {
      R"(("52" "register" ("require" "internal.registerCallback"))
         ("52" "log" ("require" "internal.eventLogger"))
         ("50" "rule" ("7" "o")
           ("register" 0 ("51" "cb" ("7" "e")
               ("2" ("15" "e") "setParamValue" ("46" "count" 2.5))
               ("2" ("15" "e") "setEventName" ("46" ("0" ("2" ("15" "e") "getEventName" ("46")) "_x")))
               0)
             ("8" "type" "edit" "priority" 5))
           ("register" 0 ("51" "cb" ("7" "e") ("log" "made" 5 ("2" ("15" "e") "getParams" ("46"))))
             ("8" "type" "create")))
         (activity "rule" ("8")))",
      R"(("50" "fib" ("7" "n")
           ("22" ("23" ("15" "n") 2) ("46" ("36" ("15" "n"))))
           ("36" ("0" ("fib" ("37" ("15" "n") 1)) ("fib" ("37" ("15" "n") 2)))))
         ("fib" 12))",
      R"(("41" "a" "s") ("3" "a" ("7" 3 1 2)) ("3" "s" "a,b,,c")
         ("2" ("15" "a") "sort" ("46"))
         ("2" ("2" ("15" "s") "split" ("46" ",")) "join" ("46" "-"))
         ("2" ("15" "s") "match" ("46" "[a-c]+"))
         ("63" ("7" "a") ("23" ("16" ("15" "a") "length") 5) ("2" ("15" "a") "push" ("46" 1)) ("46" ("4"))))",
      R"(("41" "o") ("3" "o" ("8" "k" ("7" 1 ("45")) "n" ("8")))
         ("55" "key" ("15" "o") ("46" ("38" ("15" "key") ("46" "k" "n") ("46" ("4") ("6") 1))))
         ("2" ("require" "internal.platform") "getVersion" ("46")))",
  };
  int index = 0;
  for (const char* text : programs) {
    std::vector<uint8_t> bytes = measurement::pixie::programBytes(text);
    std::ofstream out(std::string(argv[1]) + "/seed" + std::to_string(index++),
                      std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  return 0;
}
