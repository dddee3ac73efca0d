// Tests of the XML-RPC codec without sockets: what crosses, what other
// peers' documents read as, and what a hostile document gets.
#include "xmlrpc/xmlrpc_codec.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include "tarvex/exceptions.hpp"
#include "xmlrpc/xmlrpc_calls.hpp"

namespace tarvex::xmlrpc::detail {
namespace {

using namespace std::chrono_literals;

// Decodes a response document, fed in pieces of `piece` bytes.
Value decode(const std::string& xml, std::size_t piece = std::string::npos) {
  Decoder decoder(Decoder::Kind::Response);
  for (std::size_t i = 0; i < xml.size(); i += piece) decoder.feed(std::string_view(xml).substr(i, piece));
  decoder.finish();
  if (decoder.fault()) throw RuntimeError("fault: " + decoder.fault()->text);
  return std::move(decoder.result());
}

std::string response(const std::string& value_xml) {
  return "<?xml version='1.0'?>\n<methodResponse>\n<params>\n<param>\n" + value_xml +
         "\n</param>\n</params>\n</methodResponse>\n";
}

std::string encoded(const Value& v) {
  std::string out;
  encode_response(out, v);
  return out;
}

// A float equal to `expected`, NaN included.
::testing::AssertionResult SameFloat(const Value& got, double expected) {
  if (!got.is_float()) return ::testing::AssertionFailure() << got.repr() << " is not a float";
  const double d = got.as_float();
  if ((std::isnan(expected) && std::isnan(d)) || d == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << got.repr() << " != " << expected;
}

TEST(XmlrpcCodec, RoundTripsTextBeyondTheBmpNonFiniteFloatsAndCarriageReturns) {
  const Value testbed = Value::map({
      {"notes-\xf0\x9f\x9a\x80", "launch \xf0\x9f\x9a\x80 \xf0\x9d\x84\x9e"},  // rocket, G clef
      {"crlf", "line\r\nnext\rlast"},
      {"markup", "<a href=\"x\">&amp;]]></a>"},
      {"shortest", Value::list({0.1, 1e22, 5e-324, -0.0, 123456789.125})},
  });
  for (const std::size_t piece : {std::string::npos, std::size_t{1}, std::size_t{3}}) {
    EXPECT_EQ(decode(encoded(testbed), piece), testbed) << "pieces of " << piece;
  }
  const Value floats = decode(encoded(
      Value::list({std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})));
  EXPECT_NE(encoded(Value(std::nan(""))).find("<double>nan</double>"), std::string::npos);
  EXPECT_TRUE(SameFloat(floats.as_list().at(0), std::nan("")));
  EXPECT_TRUE(SameFloat(floats.as_list().at(1), std::numeric_limits<double>::infinity()));
  EXPECT_TRUE(SameFloat(floats.as_list().at(2), -std::numeric_limits<double>::infinity()));
}

TEST(XmlrpcCodec, ReadsWhatOtherPeersWrite) {
  const struct {
    std::string xml;
    Value expected;
  } cases[] = {
      {"<value>plain</value>", "plain"},
      {"<value><string>typed</string></value>", "typed"},
      {"<value/>", ""},
      {"<value><int>7</int></value>", 7},
      {"<value><i1>-3</i1></value>", -3},
      {"<value><i8> 9007199254740993 </i8></value>", std::int64_t{9007199254740993}},
      {"<value><ex:nil/></value>", Value()},
      {"<value><boolean>1</boolean></value>", true},
      {"<value><double>1e+20</double></value>", 1e20},
      {"<value><dateTime.iso8601>2024-01-02T03:04:05Z</dateTime.iso8601></value>", "20240102T03:04:05"},
      {"<value><base64>aGkA\naGkA\n</base64></value>", std::string("hi\0hi\0", 6)},
      {"<value>raw\r\nline &#13;kept &#x1F680;</value>", "raw\nline \rkept \xf0\x9f\x9a\x80"},
      {"<value><![CDATA[<not> &markup;]]></value>", "<not> &markup;"},
      {"<!-- a comment --><value><array><data>\n  <value>a</value>\n  <?pi ignored?>\n</data></array></value>",
       Value::list({"a"})},
      // A repeated member name: the later value, at the place of the first.
      {"<value><struct>\n<member><name>a</name><value>1</value></member>\n<member><name>b</name><value>2</value>"
       "</member>\n<member><name>a</name><value>3</value></member>\n</struct></value>",
       Value::map({{"a", "3"}, {"b", "2"}})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode(response(c.xml)), c.expected) << c.xml;
    EXPECT_EQ(decode("\xEF\xBB\xBF" + response(c.xml), 2), c.expected) << "with a BOM, in pieces: " << c.xml;
  }
  EXPECT_TRUE(
      SameFloat(decode(response("<value><double>-inf</double></value>")), -std::numeric_limits<double>::infinity()));
  EXPECT_TRUE(SameFloat(decode(response("<value><double>NaN</double></value>")), std::nan("")));
}

std::string nested(std::size_t depth) {
  std::string xml;
  for (std::size_t i = 0; i < depth; ++i) xml += "<value><array><data>";
  xml += "<value>leaf</value>";
  for (std::size_t i = 0; i < depth; ++i) xml += "</data></array></value>";
  return xml;
}

TEST(XmlrpcCodec, RefusesHostileAndMalformedDocumentsWithAClearError) {
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\"><!ENTITY lol2 "
      "\"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">]>";
  const struct {
    std::string xml;
    std::string error;
  } cases[] = {
      {laughs + response("<value>&lol2;</value>"), "a DOCTYPE is not allowed"},
      {"<!DOCTYPE x SYSTEM \"file:///etc/passwd\">" + response("<value>&x;</value>"), "a DOCTYPE is not allowed"},
      {response("<value>&lol;</value>"), "undefined or invalid reference &lol;"},
      {response(nested(100'000)), "nested deeper than 1000 levels"},
      {response(nested(1001)), "nested deeper than 1000 levels"},
      {response("<value>\xff</value>"), "invalid UTF-8"},
      // Found by the fuzzer: bytes that are not UTF-8 in a processing
      // instruction's target.
      {"<?xm\xf8\xf8l version='1.0'?>" + response("<value>x</value>"), "invalid UTF-8"},
      {"<?p\xf8 x?>" + response("<value>x</value>"), "invalid UTF-8"},
      {response("<value>a&#1;b</value>"), "invalid reference &#1;"},
      {response("<value>\x01</value>"), "control character 0x01"},
      {response("<value><string>x</value></string>"), "does not match"},
      {response("<value><float2>1</float2></value>"), "unknown element <float2>"},
      {response("<value><struct>text</struct></value>"), "text where <struct> allows only elements"},
      {response("<value><struct><member><value>1</value></member></struct></value>"), "before its <name>"},
      {response("<value><int>1.5</int></value>"), "invalid integer '1.5'"},
      {response("<value><boolean>yes</boolean></value>"), "invalid boolean 'yes'"},
      {response("<value><double>one</double></value>"), "invalid double 'one'"},
      {response("<value><i4>1</i4><i4>2</i4></value>"), "a <value> holds one value"},
      {response("<value>]]></value>"), "\"]]>\" in character data"},
      {"<?xml version='1.0' encoding='ISO-8859-1'?>" + response("<value>x</value>"), "unsupported encoding"},
      {response("<value>x</value>").substr(0, 56), "document ends inside <param>"},
      {response("<value>x</value>") + "<methodResponse/>", "content after the document element"},
      {"<methodCall><methodName>x</methodName></methodCall>", "expected <methodResponse>, not <methodCall>"},
  };
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    try {
      decode(c.xml);
      ADD_FAILURE() << "accepted: " << c.xml.substr(0, 200);
    } catch (const ValueError& e) {
      EXPECT_TRUE(e.message().starts_with("malformed XML-RPC response: ")) << e.message();
      EXPECT_NE(e.message().find(c.error), std::string::npos) << e.message();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << c.error;
  }
  EXPECT_EQ(decode(response(nested(1000))).as_list().size(), 1u);  // the limit itself is fine
}

TEST(XmlrpcCodec, BuildsAHugeStructInLinearTime) {
  // Four times the members must cost about four times as long, not sixteen
  // (building was quadratic: a million members took minutes).
  const auto seconds_for = [](int members) {
    std::string xml = "<value><struct>";
    for (int i = 0; i < members; ++i) xml += "<member><name>k" + std::to_string(i) + "</name><value/></member>";
    xml = response(xml + "</struct></value>");
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(decode(xml, 64 * 1024).size(), static_cast<std::size_t>(members));
      best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
  };
  const double small = seconds_for(25'000);
  const double large = seconds_for(100'000);
  EXPECT_LT(large / small, 10.0) << small << " s for 25,000 members, " << large << " s for 100,000";
}

TEST(XmlrpcCodec, ServesIntrospectionAndMulticallAndTurnsFailuresIntoFaults) {
  const CallHandler handler([](const std::string& method, const List& params) -> Value {
    if (method == "fail") throw KeyError("'missing'");
    return Value::list({Value(method), Value(params)});
  });
  const auto call = [&](const std::string& body) {
    Decoder decoder(Decoder::Kind::Response);
    decoder.feed(handler.respond(body));
    decoder.finish();
    return decoder.fault() ? Value::list({decoder.fault()->code, decoder.fault()->text}) : decoder.result();
  };
  const auto request = [](const std::string& method, const std::string& params) {
    return "<methodCall><methodName>" + method + "</methodName><params>" + params + "</params></methodCall>";
  };
  const std::string entry_echo =
      "<value><struct><member><name>methodName</name><value>echo</value></member><member><name>params</name>"
      "<value><array><data><value><i4>1</i4></value></data></array></value></member></struct></value>";
  const std::string entry_fail =
      "<value><struct><member><name>methodName</name><value>fail</value></member></struct></value>";
  const std::string entry_nested =
      "<value><struct><member><name>methodName</name><value>system.multicall</value></member></struct></value>";
  EXPECT_EQ(call(request("system.multicall", "<param><value><array><data>" + entry_echo + entry_fail + entry_nested +
                                                 "</data></array></value></param>")),
            Value::list({Value::list({Value::list({"echo", Value::list({1})})}),
                         Value::map({{"faultCode", 1}, {"faultString", "KeyError:'missing'"}}),
                         Value::map({{"faultCode", 1},
                                     {"faultString",
                                      "ValueError:system.multicall cannot be called from within system.multicall"}})}));
  EXPECT_EQ(call(request("system.methodSignature", "<param><value>system.methodHelp</value></param>")),
            Value::list({Value::list({"string", "string"})}));
  EXPECT_EQ(call(request("system.methodSignature", "<param><value>anything</value></param>")), Value("undef"));
  EXPECT_EQ(call(request("system.methodExist", "<param><value>system.listMethods</value></param>")), Value(true));
  EXPECT_EQ(call(request("fail", "")), Value::list({1, "KeyError:'missing'"}));
  // A malformed call is a fault naming the problem, not a dispatch.
  const Value bad = call("<methodCall><methodName>x</methodName><params><param></param></params></methodCall>");
  EXPECT_EQ(bad.as_list().at(0), Value(1));
  EXPECT_NE(bad.as_list().at(1).as_str().find("ValueError:malformed XML-RPC call: a <param> without a <value>"),
            std::string::npos)
      << bad.repr();
}

}  // namespace
}  // namespace tarvex::xmlrpc::detail
