#include "qualified_name.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quillon {
namespace {

// What the three readers make of one name.
struct Reading {
  std::optional<std::string> input_key;
  std::string lookup_key;
  std::string producer_name;
};

Reading read(std::string_view text) {
  const QualifiedName name(text);
  EXPECT_EQ(name.text(), text);
  const std::optional<std::string_view> input_key = name.input_key();
  return {input_key ? std::optional<std::string>(*input_key) : std::nullopt, std::string(name.lookup_key()),
          std::string(name.producer_name())};
}

TEST(QualifiedName, PlainNamesReadAndDependOnThemselves) {
  for (std::string_view text : {"y", "a_long_variable_name_beyond_small_strings", "__branch_1__y"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(QualifiedName(text).is_qualified());
    const Reading r = read(text);
    EXPECT_EQ(r.input_key, std::string(text));
    EXPECT_EQ(r.lookup_key, text);
    EXPECT_EQ(r.producer_name, text);
  }
}

TEST(QualifiedName, EmptyNameIsAPlainName) {
  EXPECT_FALSE(QualifiedName("").is_qualified());
  const Reading r = read("");
  EXPECT_EQ(r.input_key, std::string());
  EXPECT_EQ(r.lookup_key, "");
  EXPECT_EQ(r.producer_name, "");
}

TEST(QualifiedName, TwoPiecesReadTheBranchKeyAndDependOnTheVariable) {
  EXPECT_TRUE(QualifiedName("2:y").is_qualified());
  const Reading r = read("2:y");
  EXPECT_EQ(r.input_key, "__branch_2__y");
  EXPECT_EQ(r.lookup_key, "__branch_2__y");
  EXPECT_EQ(r.producer_name, "y");

  const Reading padded = read("02:y");
  EXPECT_EQ(padded.input_key, "__branch_02__y") << "the branch piece is used as written";
  EXPECT_EQ(padded.lookup_key, "__branch_02__y");

  const Reading words = read("left:total");
  EXPECT_EQ(words.input_key, "__branch_left__total") << "the branch piece need not be a number";
  EXPECT_EQ(words.producer_name, "total");
}

TEST(QualifiedName, ThreePiecesAreNeverGatheredButStillLookedUpAndDependedOn) {
  EXPECT_TRUE(QualifiedName("a:b:c").is_qualified());
  const Reading r = read("a:b:c");
  EXPECT_EQ(r.input_key, std::nullopt);
  EXPECT_EQ(r.lookup_key, "__branch_a__b:c") << "split at the first colon only";
  EXPECT_EQ(r.producer_name, "b") << "the piece between the first and second colon";

  const Reading more = read("1:x:y:z");
  EXPECT_EQ(more.input_key, std::nullopt);
  EXPECT_EQ(more.lookup_key, "__branch_1__x:y:z");
  EXPECT_EQ(more.producer_name, "x");

  const Reading doubled = read("1::y");
  EXPECT_EQ(doubled.input_key, std::nullopt) << "empty pieces count";
  EXPECT_EQ(doubled.lookup_key, "__branch_1__:y");
  EXPECT_EQ(doubled.producer_name, "");
}

TEST(QualifiedName, EmptyPiecesAtEitherEndCount) {
  const Reading leading = read(":y");
  EXPECT_EQ(leading.input_key, "__branch___y");
  EXPECT_EQ(leading.lookup_key, "__branch___y");
  EXPECT_EQ(leading.producer_name, "y");

  const Reading trailing = read("2:");
  EXPECT_EQ(trailing.input_key, "__branch_2__");
  EXPECT_EQ(trailing.lookup_key, "__branch_2__");
  EXPECT_EQ(trailing.producer_name, "");

  EXPECT_TRUE(QualifiedName(":").is_qualified());
  const Reading lone = read(":");
  EXPECT_EQ(lone.input_key, "__branch___") << "a lone colon is two empty pieces";
  EXPECT_EQ(lone.lookup_key, "__branch___");
  EXPECT_EQ(lone.producer_name, "");

  const Reading two = read("::");
  EXPECT_EQ(two.input_key, std::nullopt);
  EXPECT_EQ(two.lookup_key, "__branch___:");
  EXPECT_EQ(two.producer_name, "");

  const Reading wrapped = read(":y:");
  EXPECT_EQ(wrapped.input_key, std::nullopt);
  EXPECT_EQ(wrapped.lookup_key, "__branch___y:");
  EXPECT_EQ(wrapped.producer_name, "y");
}

TEST(QualifiedName, NonAsciiTextIsSplitOnlyAtColons) {
  const Reading plain = read("température");
  EXPECT_EQ(plain.input_key, "température");
  EXPECT_EQ(plain.producer_name, "température");

  const Reading r = read("分支:温度");
  EXPECT_EQ(r.input_key, "__branch_分支__温度");
  EXPECT_EQ(r.lookup_key, "__branch_分支__温度");
  EXPECT_EQ(r.producer_name, "温度");

  // U+FF1A FULLWIDTH COLON is not a separator.
  const Reading fullwidth = read("1\xEF\xBC\x9Ay");
  EXPECT_FALSE(QualifiedName("1\xEF\xBC\x9Ay").is_qualified());
  EXPECT_EQ(fullwidth.input_key, "1\xEF\xBC\x9Ay");

  const Reading three = read("é:ü:ö");
  EXPECT_EQ(three.input_key, std::nullopt);
  EXPECT_EQ(three.lookup_key, "__branch_é__ü:ö");
  EXPECT_EQ(three.producer_name, "ü");
}

TEST(QualifiedName, EmbeddedNulBytesAreOrdinaryText) {
  const std::string text("a\0b:c", 5);
  const QualifiedName name(text);
  EXPECT_EQ(name.text(), text);
  EXPECT_EQ(name.input_key(), std::string("__branch_a\0b__c", 15));
  EXPECT_EQ(name.producer_name(), "c");
}

TEST(QualifiedName, CopiesAndMovesAnswerTheSame) {
  // Long enough that the text lives on the heap, so a stale view would show.
  const std::string text = "a_branch_name_of_some_length:a_variable_name_of_some_length:tail";
  QualifiedName original(text);
  QualifiedName copy = original;
  QualifiedName moved = std::move(original);
  for (const QualifiedName* name : {&copy, &moved}) {
    EXPECT_EQ(name->text(), text);
    EXPECT_EQ(name->producer_name(), "a_variable_name_of_some_length");
    EXPECT_EQ(name->lookup_key(), "__branch_a_branch_name_of_some_length__a_variable_name_of_some_length:tail");
    EXPECT_EQ(name->input_key(), std::nullopt);
  }
}

TEST(QualifiedName, ReadersFindWhatBranchCopiesWrite) {
  EXPECT_EQ(branch_key(2, "y"), "__branch_2__y");
  EXPECT_EQ(branch_key(0, ""), "__branch_0__");
  EXPECT_EQ(branch_key(18446744073709551615u, "y"), "__branch_18446744073709551615__y");
  EXPECT_EQ(branch_key(7, "温度"), "__branch_7__温度");
  // Whatever a branch copy writes, the colon form of its id and variable
  // reads it back, both as an input and through the propagation lookup.
  for (std::string_view variable : {"y", "", "温度"}) {
    const std::string qualified = "5:" + std::string(variable);
    EXPECT_EQ(QualifiedName(qualified).input_key(), branch_key(5, variable));
    EXPECT_EQ(QualifiedName(qualified).lookup_key(), branch_key(5, variable));
  }
  // A variable holding a colon is reachable only through the lookup key.
  EXPECT_EQ(QualifiedName("5:a:b").lookup_key(), branch_key(5, "a:b"));
  EXPECT_EQ(QualifiedName("5:a:b").input_key(), std::nullopt);
}

}  // namespace
}  // namespace quillon
