#include <gtest/gtest.h>

#include "vm_engine/bytecode.h"

using namespace tarnwick;

TEST(ByteTables, DecodeDropsEveryInvalidByte) {
  std::string invalid = "\xFE\x09\x0F\x16\x26\x33";
  for (int b = 0x40; b <= 0xFD; ++b) invalid.push_back(static_cast<char>(b));
  EXPECT_TRUE(decode_vm_bytes(invalid).empty());
  EXPECT_TRUE(decode_vm_bytes("").empty());
}

TEST(ByteTables, ExactlyTwentyFiveValidBytesMatchingTheMask) {
  int valid = 0;
  for (int b = 0; b < 256; ++b) {
    unsigned i = (b + 1) % 256;
    bool by_mask = i < 52 && ((0xE007E007E03FFull >> i) & 1);
    EXPECT_EQ(is_valid_vm_byte(static_cast<uint8_t>(b)), by_mask) << b;
    valid += by_mask;
  }
  EXPECT_EQ(valid, 25);
}

TEST(ByteTables, DecodesTheVmColumn) {
  auto code = decode_vm_bytes(std::string("\x10\x20\x30\xFF\x00\x01\x05\x08", 8));
  std::vector<Opcode> ops;
  for (auto& i : code) {
    EXPECT_EQ(i.imm, 0);
    EXPECT_EQ(i.arg, 0u);
    ops.push_back(i.opcode);
  }
  EXPECT_EQ(ops, (std::vector<Opcode>{Opcode::Add, Opcode::Eq, Opcode::And, Opcode::Halt, Opcode::Nop,
                                      Opcode::Pop, Opcode::Concat, Opcode::IterNext}));
}

TEST(ByteTables, VmEncodingRoundTripsAndDropsOpcodesWithoutAByte) {
  std::vector<Instruction> code = {make_push(3), make_instr(Opcode::Pop), make_instr(Opcode::AddInt),
                                   make_instr(Opcode::Jump, 4), make_instr(Opcode::Len),
                                   make_instr(Opcode::Halt)};
  std::string bytes = encode_vm_bytes(code);
  EXPECT_EQ(bytes, std::string("\xFE\x01\xFE\xFE\x06\xFF", 6));
  auto back = decode_vm_bytes(bytes);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0].opcode, Opcode::Pop);
  EXPECT_EQ(back[1].opcode, Opcode::Len);
  EXPECT_EQ(back[2].opcode, Opcode::Halt);
}

TEST(ByteTables, CompileColumnDiffersInTheLowBlock) {
  EXPECT_EQ(compile_byte(Opcode::Push), 0x01);
  EXPECT_EQ(compile_byte(Opcode::Pop), 0x02);
  EXPECT_EQ(compile_byte(Opcode::Swap), 0x04);
  EXPECT_EQ(compile_byte(Opcode::Neg), 0x05);
  EXPECT_EQ(compile_byte(Opcode::Len), 0x07);
  EXPECT_EQ(compile_byte(Opcode::GetIter), 0xFE);
  EXPECT_EQ(compile_byte(Opcode::LoadConst), 0xFE);
  EXPECT_EQ(compile_byte(Opcode::Halt), 0xFF);
  EXPECT_EQ(vm_byte(Opcode::Neg), 0x04);
  EXPECT_EQ(vm_byte(Opcode::Push), 0xFE);
}

TEST(ConstantSerialisation, TagsAndLittleEndianPayloads) {
  EXPECT_EQ(serialize_constants({Constant::floating(1.5)}),
            (std::vector<uint8_t>{3, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}));
  EXPECT_EQ(serialize_constants({Constant::integer(1099511627776)}),
            (std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 1, 0, 0}));
  EXPECT_EQ(serialize_constants({Constant::integer(-2)}),
            (std::vector<uint8_t>{2, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(serialize_constants({Constant::nil(), Constant::boolean(true), Constant::boolean(false)}),
            (std::vector<uint8_t>{0, 1, 1, 1, 0}));
  EXPECT_EQ(serialize_constants({Constant::string("h\xC3\xA9")}),
            (std::vector<uint8_t>{4, 3, 0, 0, 0, 'h', 0xC3, 0xA9}));
  EXPECT_TRUE(serialize_constants({}).empty());
}
