#include "tarvex/object.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace tarvex {
namespace {

class Base : public Object {
  TARVEX_OBJECT(Base)

 public:
  void init(const Args& args, const Kwargs& kwargs) override {
    Object::init(args, kwargs);
    steps.push_back("base:" + describe());
  }
  virtual std::string describe() const { return "base"; }
  std::int64_t add(std::int64_t a, std::int64_t b) { return a + b + offset; }
  void set_flag(bool value) { flag = value; }

  std::int64_t offset = 0;
  bool flag = false;
  std::optional<std::string> label;
  std::vector<std::string> steps;
  Value data;
  static inline Value shared;
};

class Derived : public Base {
  TARVEX_OBJECT(Derived)

 public:
  void init(const Args& args, const Kwargs& kwargs) override {
    Base::init(args, kwargs);
    steps.push_back("derived");
  }
  std::string describe() const override { return "derived"; }
  double ratio = 0.5;
};

const ClassInfo& Base::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    static ClassInfo c("tests.Base", nullptr, factory_of<Base>());
    c.field("offset", &Base::offset)
        .field("flag", &Base::flag)
        .field("label", &Base::label)
        .readonly("steps", &Base::steps)
        .field("data", &Base::data)
        .static_field("shared", &Base::shared)
        .method("add", &Base::add, {Value(10)})
        .method("set_flag", &Base::set_flag);
    return c;
  }();
  return info;
}

const ClassInfo& Derived::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    static ClassInfo c("tests.Derived", &Base::class_info(), factory_of<Derived>());
    c.field("ratio", &Derived::ratio);
    return c;
  }();
  return info;
}

TEST(Object, InitRunsBaseStepsWithSubclassOverrides) {
  auto d = create<Derived>();
  EXPECT_EQ(d->steps, (std::vector<std::string>{"base:derived", "derived"}));
  auto made = Derived::class_info().construct({}, {});
  EXPECT_EQ(made->get_attr("steps"), Value::list({"base:derived", "derived"}));
}

TEST(Object, FieldsConvertThroughTheTable) {
  auto d = create<Derived>();
  d->set_attr("offset", 3);
  d->set_attr("label", "x");
  d->set_attr("ratio", 2);  // an int widens to the float field
  EXPECT_EQ(d->offset, 3);
  EXPECT_EQ(d->label, "x");
  EXPECT_EQ(d->ratio, 2.0);
  d->set_attr("label", Value());
  EXPECT_FALSE(d->label.has_value());
  EXPECT_THROW(d->set_attr("offset", "three"), TypeError);
  EXPECT_THROW(d->set_attr("steps", Value::list({})), AttributeError);
}

TEST(Object, UnknownNamesAreKeptPerInstance) {
  auto a = create<Base>();
  auto b = create<Base>();
  a->set_attr("sim_plan", "plan.yaml");
  EXPECT_EQ(a->get_attr("sim_plan"), Value("plan.yaml"));
  EXPECT_FALSE(b->has_attr("sim_plan"));
  EXPECT_THROW(b->get_attr("sim_plan"), AttributeError);
}

TEST(Object, AttrViewShowsTheStoredValueOnlyWhenItIsHeldAsOne) {
  auto d = create<Derived>();
  d->set_attr("data", Value::map({{"devices", Value::list({"R1", "R2"})}}));
  d->set_attr("shared", "everyone");
  d->set_attr("extra", 7);
  // The stored values themselves, not copies.
  EXPECT_EQ(d->attr_view("data"), &d->data);
  EXPECT_EQ(d->attr_view("shared"), &Base::shared);
  ASSERT_NE(d->attr_view("extra"), nullptr);
  EXPECT_EQ(*d->attr_view("extra"), Value(7));
  // Converted fields, operations and unknown names have nothing to show.
  for (const char* name : {"offset", "label", "steps", "add", "missing"}) {
    EXPECT_EQ(d->attr_view(name), nullptr) << name;
  }
  // A later set is what the view shows, and get_attr agrees with it.
  d->set_attr("data", "replaced");
  EXPECT_EQ(*d->attr_view("data"), Value("replaced"));
  EXPECT_EQ(d->get_attr("data"), Value("replaced"));
}

TEST(Object, OperationsTakeValueParametersWithDefaults) {
  auto d = create<Derived>();
  d->offset = 1;
  EXPECT_EQ(d->call("add", {Value(2), Value(3)}), Value(6));
  EXPECT_EQ(d->call("add", {Value(2)}), Value(13));
  EXPECT_EQ(d->call("set_flag", {Value(true)}), Value());
  EXPECT_TRUE(d->flag);
  EXPECT_TRUE(d->is_operation("add"));
  EXPECT_FALSE(d->is_operation("offset"));
  EXPECT_THROW(d->call("add", {}), TypeError);
  EXPECT_THROW(d->call("offset"), TypeError);
  EXPECT_THROW(d->call("missing"), AttributeError);
}

TEST(Object, AttachedOperationsReachSubclassesAndExistingInstances) {
  auto d = create<Derived>();
  Base::class_info().attach("ping", [](Object& self, const List&) { return Value(self.klass().name()); });
  EXPECT_EQ(d->call("ping"), Value("tests.Derived"));
  EXPECT_TRUE(Derived::class_info().is_subclass_of(Base::class_info()));
  EXPECT_FALSE(Base::class_info().is_subclass_of(Derived::class_info()));
}

}  // namespace
}  // namespace tarvex
