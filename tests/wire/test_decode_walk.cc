// What the decoders find while walking a document quickly: a bad byte
// wherever it stands, the item of an array an error is in, the items of an
// array that is interrupted, and the class each item of an array names.
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "Fill.h"
#include "quill/Registry.h"
#include "quill/wire/Wire.h"
#include "tarn/option/OptionValue.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/device/VirtualDevice.h"
#include "tarn/vm/device/VirtualDeviceSpec.h"
#include "tarn/vm/device/VirtualDisk.h"

namespace {

using wire_test::kNs;
using wire_test::Refusal;

using Basalt::Ref;
using Quill::Any;
using Tarn::Vm::ConfigSpec;

Quill::Type* SpecType() { return Quill::GetDoType<ConfigSpec>(); }

// A byte XML cannot carry is refused at its own column, on either side of
// every block boundary of the scan (sixteen bytes, and the 255 blocks after
// which its counters are summed), and a string of the same length without
// it is read whole.
TEST(WireDecodeWalk, BadBytesAreFoundWhereverTheyStand) {
  std::string const head = std::string("<value") + kNs + "><name>";
  std::string const tail = "</name></value>";
  for (std::string bad : {std::string("\x01"), std::string("\x1f"), std::string("\xff"), std::string("\xef\xbf\xbe")}) {
    for (std::size_t base : {std::size_t{0}, 255 * 16 - head.size() - 24}) {
      for (std::size_t off = base; off < base + 48; ++off) {
        std::string text(off, 'a');
        std::string xml = head + text + bad + "b" + tail;
        std::string why = Refusal([&] { Quill::Wire::DecodeXml(xml, SpecType()); });
        std::string column = "column " + std::to_string(head.size() + off + 1) + ":";
        EXPECT_NE(why.find(column), std::string::npos) << "offset " << off << ": " << why;
      }
    }
  }
  std::string text(255 * 16 + 9, 'a');
  text[255 * 16] = '=';
  auto spec = Quill::Wire::DecodeXml(head + text + tail, SpecType());
  EXPECT_EQ(*static_cast<ConfigSpec*>(spec.get())->name, text);
}

// The items of an array interrupted by another property are all read, in
// order, and no more of them than there are.
TEST(WireDecodeWalk, InterruptedArraysKeepEveryItem) {
  std::string xml = std::string("<value") + kNs +
                    "><npivNodeWorldWideName>1</npivNodeWorldWideName><npivNodeWorldWideName>2</npivNodeWorldWideName>"
                    "<npivNodeWorldWideName>3</npivNodeWorldWideName><name>n</name>"
                    "<npivNodeWorldWideName>4</npivNodeWorldWideName>"
                    "<extraConfig><key>a</key></extraConfig><extraConfig><key>b</key></extraConfig>"
                    "<name2>skipped</name2><extraConfig><key>c</key></extraConfig></value>";
  auto v = Quill::Wire::DecodeXml(xml, SpecType());
  auto* spec = static_cast<ConfigSpec*>(v.get());
  ASSERT_TRUE(spec->npivNodeWorldWideName);
  EXPECT_EQ(spec->npivNodeWorldWideName->GetValues(), (std::vector<long>{1, 2, 3, 4}));
  ASSERT_TRUE(spec->extraConfig);
  ASSERT_EQ(spec->extraConfig->size(), 3u);
  EXPECT_EQ(spec->extraConfig->Get(2)->key, "c");
}

// An error names the item it is in, in both forms.
TEST(WireDecodeWalk, ErrorsNameTheItemOfAnArray) {
  std::string xml = std::string("<value") + kNs +
                    "><extraConfig><key>a</key></extraConfig><extraConfig><key>b</key></extraConfig>"
                    "<extraConfig><key>c</key><value xsi:type=\"xsd:int\">x</value></extraConfig></value>";
  EXPECT_NE(Refusal([&] { Quill::Wire::DecodeXml(xml, SpecType()); }).find("/value/extraConfig[2]/value"),
            std::string::npos);
  std::string json =
      "{\"extraConfig\":[{\"key\":\"a\"},{\"key\":\"b\"},{\"key\":\"c\",\"value\":{\"_type\":\"int\",\"_value\":\"x\"}}"
      "]"
      "}";
  std::string why = Refusal([&] { Quill::Wire::DecodeJson(json, SpecType()); });
  EXPECT_NE(why.find("at $.extraConfig[2].value"), std::string::npos) << why;
  json = "{\"deviceChange\":[{\"device\":{\"key\":1}},{\"device\":{\"key\":2,\"unitNumber\":\"x\"}}]}";
  why = Refusal([&] { Quill::Wire::DecodeJson(json, SpecType()); });
  EXPECT_NE(why.find("at $.deviceChange[1].device.unitNumber"), std::string::npos) << why;
}

// Each item of an array is of the class its "_type" names, wherever that
// stands in the object; a class this end does not know is reported each
// time, and one that does not fit the position is refused each time.
TEST(WireDecodeWalk, EachItemIsOfTheClassItNames) {
  auto devices = [](std::string items) { return "{\"deviceChange\":[" + items + "]}"; };
  std::string json = devices(
      "{\"device\":{\"_type\":\"VirtualDisk\",\"key\":1,\"capacityInKB\":5}},"
      "{\"device\":{\"_type\":\"VirtualDevice\",\"key\":2}},"
      "{\"device\":{\"key\":3,\"_type\":\"VirtualDisk\",\"capacityInKB\":7}},"
      "{\"device\":{\"key\":4}},"
      "{\"device\":{\"_type\":\"VirtualFutureDevice\",\"key\":5}},"
      "{\"device\":{\"_type\":\"VirtualFutureDevice\",\"key\":6}}");
  Quill::Wire::DecodeReport report;
  Quill::Wire::DecodeOptions options;
  options.report = &report;
  auto v = Quill::Wire::DecodeJson(json, SpecType(), options);
  auto const& changes = *static_cast<ConfigSpec*>(v.get())->deviceChange;
  ASSERT_EQ(changes.size(), 6u);
  using namespace Tarn::Vm::Device;
  bool disk[] = {true, false, true, false, false, false};
  for (std::size_t i = 0; i < changes.size(); ++i) {
    VirtualDevice const* d = changes.Get(i)->device.get();
    ASSERT_TRUE(d);
    EXPECT_EQ(typeid(*d) == typeid(VirtualDisk), disk[i]) << "item " << i;
    EXPECT_EQ(d->key, static_cast<int>(i + 1));
  }
  EXPECT_EQ(static_cast<VirtualDisk const*>(changes.Get(2)->device.get())->capacityInKB, 7);
  EXPECT_EQ(report.unknownTypes, 2u);

  // The same name in another position, and a class that is no device after one that is.
  for (std::string items : {"{\"device\":{\"_type\":\"VirtualDisk\",\"key\":1,\"capacityInKB\":5},"
                            "\"profile\":[{\"_type\":\"VirtualDisk\"}]}",
                            "{\"device\":{\"_type\":\"VirtualDisk\",\"key\":1,\"capacityInKB\":5}},"
                            "{\"device\":{\"_type\":\"VirtualCdrom\",\"key\":2}}"}) {
    std::string why = Refusal([&] { Quill::Wire::DecodeJson(devices(items), SpecType()); });
    EXPECT_NE(why.find("is not a"), std::string::npos) << why;
  }
}

}  // namespace
