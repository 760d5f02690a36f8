// A JSON document written piece by piece into a string: objects, arrays,
// strings (escaped so that any byte sequence of the host's texts yields a
// valid document), integers, booleans and null. No reading.
#ifndef ZELK_TRACELOG_JSON_WRITER_H_
#define ZELK_TRACELOG_JSON_WRITER_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace zelk::tracelog {

class JsonWriter {
 public:
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  // The name of the object member whose value comes next.
  void Key(std::string_view name);
  void String(std::string_view text);
  void Integer(std::int64_t value);
  void Bool(bool value);
  void Null();
  // A string, or null when `text` is empty.
  void StringOrNull(std::string_view text);

  const std::string& text() const { return text_; }

 private:
  void Open(char bracket);
  void Close(char bracket);
  // The comma before a value that follows another in its array.
  void BeforeValue();

  std::string text_;
  bool after_value_ = false;  // a value ended and no key followed yet
};

}  // namespace zelk::tracelog

#endif  // ZELK_TRACELOG_JSON_WRITER_H_
