// Inputs the fuzzer found: each must give a clean PlainError.
#include <gtest/gtest.h>

#include "exception/exception.hpp"
#include "service/definition.hpp"

using norvik::service::Definition;

TEST(FuzzRegression, DefinitionWithANumberTooLargeIsAPlainError) {
    // nlohmann reports the overflow as out_of_range, not parse_error.
    for (const char* text :
         {"32666666222222222e22222222222:2222", "{\"attributes\": {\"startup_timeout\": 1e999999}}", "[1e400]"}) {
        try {
            (void)Definition::parse(text, "Fuzz.json", "Norvik::ServiceManager::Services::Fuzz");
            ADD_FAILURE() << "accepted: " << text;
        } catch (const norvik::PlainError& e) {
            EXPECT_NE(std::string(e.what()).find("JSON"), std::string::npos) << e.what();
        }
    }
}
