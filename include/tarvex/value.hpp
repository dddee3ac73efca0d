// The dynamic value that testbed configurations, clean configurations,
// keyword arguments and XML-RPC data are made of: null, bool, integer,
// float, string, list and insertion-ordered map, plus a reference to a
// registered class.  Copies are deep; pass by reference where a copy is
// not meant.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace tarvex {

class Value;
class ClassInfo;

// Owning pointer with deep-copy semantics; lets Value hold its containers
// behind one pointer so that Value stays small and cheap to move.
template <class T>
class Box {
 public:
  Box() : ptr_(std::make_unique<T>()) {}
  explicit Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
  Box(const Box& other) : ptr_(std::make_unique<T>(*other.ptr_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) ptr_ = std::make_unique<T>(*other.ptr_);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  T& operator*() const { return *ptr_; }
  T* operator->() const { return ptr_.get(); }

 private:
  std::unique_ptr<T> ptr_;
};

// A reference to a registered class (see object.hpp); its text form is the
// class's qualified name.
struct ClassRef {
  const ClassInfo* info = nullptr;
  bool operator==(const ClassRef&) const = default;
};

using List = std::vector<Value>;

// Insertion-ordered map with O(1) average lookup and O(1) amortised erase
// that keeps the order of the remaining entries.  Small maps (most of a
// testbed's) are a plain vector searched linearly and erase by shifting;
// once a map grows, an open-addressing index is built, and erased entries
// become tombstones that are compacted away in bulk.
class Map {
 public:
  using value_type = std::pair<Value, Value>;

  // An entry as a mutable iteration sees it: the value can be changed in
  // place, the key cannot (that would corrupt the lookup index).  Bind it
  // with `auto&&` (`for (auto&& [key, value] : map)`).
  struct ItemRef {
    const Value& first;
    Value& second;
  };
  struct ItemArrow {
    ItemRef item;
    const ItemRef* operator->() const { return &item; }
  };

  template <bool Const>
  class Iter {
   public:
    using MapT = std::conditional_t<Const, const Map, Map>;
    using value_type = std::pair<Value, Value>;
    using reference = std::conditional_t<Const, const value_type&, ItemRef>;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;
    Iter() = default;
    Iter(MapT* map, std::size_t pos) : map_(map), pos_(pos) { skip(); }
    reference operator*() const {
      auto& item = map_->items_[pos_];
      if constexpr (Const) {
        return item;
      } else {
        return ItemRef{item.first, item.second};
      }
    }
    auto operator->() const {
      if constexpr (Const) {
        return &map_->items_[pos_];
      } else {
        return ItemArrow{**this};
      }
    }
    Iter& operator++() {
      ++pos_;
      skip();
      return *this;
    }
    Iter operator++(int) {
      Iter copy = *this;
      ++*this;
      return copy;
    }
    bool operator==(const Iter& other) const { return pos_ == other.pos_; }
    std::size_t position() const { return pos_; }

   private:
    void skip() {
      while (pos_ < map_->items_.size() && map_->is_dead(pos_)) ++pos_;
    }
    MapT* map_ = nullptr;
    std::size_t pos_ = 0;
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  Map() = default;
  Map(std::initializer_list<value_type> items);
  Map(const Map&);
  Map(Map&&) noexcept;
  Map& operator=(const Map&);
  Map& operator=(Map&&) noexcept;
  ~Map();

  // (Defined after Value, which must be complete there.)
  std::size_t size() const;
  void reserve(std::size_t n);
  bool empty() const { return size() == 0; }
  iterator begin();
  iterator end();
  const_iterator begin() const;
  const_iterator end() const;

  bool contains(const Value& key) const;
  Value* find(const Value& key);
  const Value* find(const Value& key) const;
  // The position of the key's entry, as an iterator's position() gives it
  // (the count of entries inserted before it while nothing is erased);
  // nothing when the key is absent.
  std::optional<std::size_t> position_of(const Value& key) const;
  // Inserts null under `key` when it is absent.
  Value& operator[](const Value& key);
  // Throws KeyError naming the key when it is absent.
  Value& at(const Value& key);
  const Value& at(const Value& key) const;
  // Inserts at the end, or replaces in place when the key is present.
  Value& insert_or_assign(Value key, Value value);
  bool erase(const Value& key);
  // Removes and returns the value under `key`; throws KeyError when absent.
  Value pop(const Value& key);
  void clear();
  std::vector<Value> keys() const;
  const value_type& front() const;

  bool operator==(const Map& other) const;

 private:
  static constexpr std::size_t kLinearLimit = 8;
  static constexpr std::uint32_t kEmpty = 0;
  static constexpr std::uint32_t kTombstone = UINT32_MAX;

  // The lookup state of a large map.
  struct Index {
    std::vector<std::uint32_t> slots;  // entry position + 1, kEmpty or kTombstone
    std::size_t slot_tombstones = 0;
    std::vector<bool> dead;  // erased entries still in `items_`
    std::size_t dead_count = 0;
  };

  bool is_dead(std::size_t pos) const { return index_ && !index_->dead.empty() && index_->dead[pos]; }
  std::size_t find_pos(const Value& key) const;
  void index_insert(std::size_t pos);
  void rebuild_index();
  void compact();

  std::vector<value_type> items_;
  std::unique_ptr<Index> index_;
};

class Value {
 public:
  enum class Kind { None, Bool, Int, Float, Str, List, Map, Class };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : data_(b) {}
  template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>) Value(T i)
      : data_(static_cast<std::int64_t>(i)) {}
  Value(double d) : data_(d) {}
  Value(const char* s) : data_(std::string(s)) {}
  template <class T>
  Value(T*) = delete;  // no silent pointer-to-bool conversion
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(List l) : data_(Box<List>(std::move(l))) {}
  Value(Map m) : data_(Box<Map>(std::move(m))) {}
  Value(ClassRef c) : data_(c) {}
  Value(const ClassInfo& c) : data_(ClassRef{&c}) {}

  static Value list(std::initializer_list<Value> items) { return Value(List(items)); }
  static Value map(std::initializer_list<Map::value_type> items) { return Value(Map(items)); }
  template <class T>
  static Value list_of(const std::vector<T>& items) {
    List out;
    out.reserve(items.size());
    for (const auto& item : items) out.emplace_back(item);
    return Value(std::move(out));
  }

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_none() const { return kind() == Kind::None; }
  bool is_bool() const { return kind() == Kind::Bool; }
  bool is_int() const { return kind() == Kind::Int; }
  bool is_float() const { return kind() == Kind::Float; }
  bool is_number() const { return is_int() || is_float(); }
  bool is_str() const { return kind() == Kind::Str; }
  bool is_list() const { return kind() == Kind::List; }
  bool is_map() const { return kind() == Kind::Map; }
  bool is_class() const { return kind() == Kind::Class; }
  bool is_scalar() const { return !is_list() && !is_map(); }

  // Accessors throw TypeError when the value holds another kind.
  bool as_bool() const;
  std::int64_t as_int() const;
  double as_float() const;  // ints are widened
  const std::string& as_str() const;
  const List& as_list() const;
  List& as_list();
  const Map& as_map() const;
  Map& as_map();
  const ClassInfo& as_class() const;

  // The usual truth test: null, false, 0, 0.0, "", [] and {} are false.
  bool truthy() const;

  // Mapping access; TypeError on a value that is not a map, KeyError on a
  // missing key (except operator[], which inserts null).
  Value& operator[](const Value& key);
  const Value& at(const Value& key) const;
  Value& at(const Value& key);
  bool contains(const Value& key) const;
  const Value* find(const Value& key) const;
  Value* find(const Value& key);
  // The entry under `key`, or nullptr when the mapping lacks it; TypeError
  // when this is not a mapping (a broken structure, not a missing key).
  const Value* lookup(const Value& key) const;
  Value* lookup(const Value& key);
  Value get(const Value& key, Value fallback = Value()) const;

  // Length of a string, list or map; TypeError for other kinds.
  std::size_t size() const;

  // Python-style type name: NoneType, bool, int, float, str, list, dict, type.
  const char* type_name() const;
  // Text form: strings as they are, null as None, booleans as True/False,
  // containers on one line with their items in repr form.
  std::string str() const;
  // Printable representation (strings quoted).
  std::string repr() const;
  // Indented multi-line rendering for logs and error messages.
  std::string pformat(std::size_t width = 80) const;

  // Equality compares numbers across int and float (1 == 1.0).
  friend bool operator==(const Value& a, const Value& b);
  std::size_t hash() const;

 private:
  std::variant<std::monostate, bool, std::int64_t, double, std::string, Box<List>, Box<Map>, ClassRef> data_;
};

inline std::size_t Map::size() const { return items_.size() - (index_ ? index_->dead_count : 0); }
inline void Map::reserve(std::size_t n) { items_.reserve(n); }
inline Map::iterator Map::begin() { return {this, 0}; }
inline Map::iterator Map::end() { return {this, items_.size()}; }
inline Map::const_iterator Map::begin() const { return {this, 0}; }
inline Map::const_iterator Map::end() const { return {this, items_.size()}; }

struct ValueHash {
  std::size_t operator()(const Value& v) const { return v.hash(); }
};

// Python-style repr of a string and of a float.
std::string py_repr(std::string_view s);
std::string py_float_repr(double d);

}  // namespace tarvex

template <>
struct std::hash<tarvex::Value> {
  std::size_t operator()(const tarvex::Value& v) const { return v.hash(); }
};
