// Recorded editor drives; see drive_record.h.
//
// A recording is a sequence of calls. Each call is one operation byte, then
// its arguments: numbers as 8 bytes, strings length-prefixed (absent ones as
// length -1). Every directory and file baton that the drive opens is given
// the next number, counted from 1 for the root; later calls name their baton
// by that number. A text delta is its window calls, each naming its file,
// until an end-of-delta call.
#include "repos/drive_record.h"

#include <apr_strings.h>
#include <svn_pools.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

enum op : std::uint8_t {
  OP_TARGET_REVISION = 'T',
  OP_OPEN_ROOT = 'R',
  OP_DELETE_ENTRY = 'D',
  OP_ADD_DIRECTORY = 'a',
  OP_OPEN_DIRECTORY = 'o',
  OP_CHANGE_DIR_PROP = 'p',
  OP_CLOSE_DIRECTORY = 'c',
  OP_ABSENT_DIRECTORY = 'x',
  OP_ADD_FILE = 'A',
  OP_OPEN_FILE = 'O',
  OP_APPLY_TEXTDELTA = 't',
  OP_WINDOW = 'w',
  OP_WINDOW_END = 'W',
  OP_CHANGE_FILE_PROP = 'P',
  OP_CLOSE_FILE = 'C',
  OP_ABSENT_FILE = 'X',
  OP_CLOSE_EDIT = 'E',
  OP_ABORT_EDIT = 'Z',
};

struct rec_edit {
  byte_spool *spool;
  const std::atomic<bool> *stop;
  std::int64_t next_id;
  // A replay's root, or null for a diff's drive.
  const char *replay_root;
  std::size_t replay_root_len;
  const apr_array_header_t *replaced; // of a replay; may be null
};

struct rec_node {
  rec_edit *edit;
  std::int64_t id; // 0: a directory of a replay outside its root
  bool added_file; // added without history
  bool has_text;   // a text delta was recorded
};

svn_error_t *
replay_root_touched(const char *path) {
  return svn_error_createf(SVN_ERR_UNSUPPORTED_FEATURE, nullptr,
                           "The replay adds or deletes '%s', at or above "
                           "its root",
                           path);
}

// The state of a call: stopped, or the spool broken, or fine.
svn_error_t *
check(const rec_edit *edit) {
  if (edit->stop->load())
    return svn_error_create(SVN_ERR_CANCELLED, nullptr, nullptr);
  if (edit->spool->failed())
    return svn_error_create(SVN_ERR_IO_WRITE_ERROR, nullptr,
                            "Can't write to a temporary file");
  return SVN_NO_ERROR;
}

svn_error_t *
put_op(rec_edit *edit, op code) {
  SVN_ERR(check(edit));
  edit->spool->append_u8(code);
  return SVN_NO_ERROR;
}

void
put_string(rec_edit *edit, const svn_string_t *value) {
  if (value)
    edit->spool->append_str(value->data, value->len);
  else
    edit->spool->append_str(nullptr, 0);
}

rec_node *
new_node(rec_edit *edit, apr_pool_t *pool, bool outside = false) {
  auto *node = static_cast<rec_node *>(apr_palloc(pool, sizeof(rec_node)));
  node->edit = edit;
  node->id = outside ? 0 : edit->next_id++;
  node->added_file = false;
  node->has_text = false;
  return node;
}

bool
outside(const void *baton) {
  return static_cast<const rec_node *>(baton)->id == 0;
}

// A replay names paths from the repository root: a recorded path is made
// relative to the replay's root, as a diff's drive names it.
const char *
recorded_path(const rec_edit *edit, const char *path) {
  if (!edit->replay_root || edit->replay_root_len == 0)
    return path;
  return path + edit->replay_root_len + 1;
}

// Whether `path`, a child of a directory outside the replay's root, is the
// root or one of its parents.
bool
leads_to_root(const rec_edit *edit, const char *path) {
  std::size_t n = std::strlen(path);
  return n <= edit->replay_root_len &&
         std::strncmp(edit->replay_root, path, n) == 0 &&
         (edit->replay_root[n] == '\0' || edit->replay_root[n] == '/');
}

svn_error_t *
rec_set_target_revision(void *edit_baton, svn_revnum_t rev,
                        apr_pool_t *) noexcept {
  auto *edit = static_cast<rec_edit *>(edit_baton);
  SVN_ERR(put_op(edit, OP_TARGET_REVISION));
  edit->spool->append_i64(rev);
  return check(edit);
}

svn_error_t *
rec_open_root(void *edit_baton, svn_revnum_t base, apr_pool_t *pool,
              void **root_baton) noexcept {
  auto *edit = static_cast<rec_edit *>(edit_baton);
  if (edit->replay_root && edit->replay_root_len > 0) {
    // The repository root, above the replay's root: not recorded.
    *root_baton = new_node(edit, pool, true);
    return check(edit);
  }
  SVN_ERR(put_op(edit, OP_OPEN_ROOT));
  edit->spool->append_i64(base);
  *root_baton = new_node(edit, pool);
  return check(edit);
}

// Writes the start of a call on a child of `parent_baton`: the operation,
// the child's path and the parent's number.
svn_error_t *
put_child(op code, const char *path, void *parent_baton, rec_edit **edit) {
  auto *parent = static_cast<rec_node *>(parent_baton);
  *edit = parent->edit;
  SVN_ERR(put_op(*edit, code));
  (*edit)->spool->append_cstr(recorded_path(*edit, path));
  (*edit)->spool->append_i64(parent->id);
  return SVN_NO_ERROR;
}

svn_error_t *
rec_delete_entry(const char *path, svn_revnum_t rev, void *parent_baton,
                 apr_pool_t *) noexcept {
  if (outside(parent_baton))
    return leads_to_root(static_cast<rec_node *>(parent_baton)->edit, path)
               ? replay_root_touched(path)
               : SVN_NO_ERROR;
  rec_edit *edit = static_cast<rec_node *>(parent_baton)->edit;
  const char *recorded = recorded_path(edit, path);
  for (int i = 0; edit->replaced && i < edit->replaced->nelts; ++i)
    if (std::strcmp(recorded, APR_ARRAY_IDX(edit->replaced, i,
                                            const char *)) == 0)
      return check(edit);
  SVN_ERR(put_child(OP_DELETE_ENTRY, path, parent_baton, &edit));
  edit->spool->append_i64(rev);
  return check(edit);
}

svn_error_t *
record_add(op code, const char *path, void *parent_baton,
           const char *copyfrom_path, svn_revnum_t copyfrom_rev,
           apr_pool_t *pool, void **child_baton) {
  if (outside(parent_baton)) {
    rec_edit *edit = static_cast<rec_node *>(parent_baton)->edit;
    if (leads_to_root(edit, path))
      return replay_root_touched(path);
    *child_baton = new_node(edit, pool, true);
    return SVN_NO_ERROR;
  }
  rec_edit *edit = nullptr;
  SVN_ERR(put_child(code, path, parent_baton, &edit));
  edit->spool->append_cstr(copyfrom_path);
  edit->spool->append_i64(copyfrom_rev);
  rec_node *node = new_node(edit, pool);
  node->added_file = code == OP_ADD_FILE && !copyfrom_path;
  *child_baton = node;
  return check(edit);
}

svn_error_t *
record_open(op code, const char *path, void *parent_baton, svn_revnum_t base,
            apr_pool_t *pool, void **child_baton) {
  if (outside(parent_baton)) {
    rec_edit *edit = static_cast<rec_node *>(parent_baton)->edit;
    if (code == OP_OPEN_DIRECTORY && std::strcmp(path, edit->replay_root) == 0) {
      // The replay's root: the root of the recorded drive.
      SVN_ERR(put_op(edit, OP_OPEN_ROOT));
      edit->spool->append_i64(base);
      *child_baton = new_node(edit, pool);
      return check(edit);
    }
    *child_baton = new_node(edit, pool, true);
    return SVN_NO_ERROR;
  }
  rec_edit *edit = nullptr;
  SVN_ERR(put_child(code, path, parent_baton, &edit));
  edit->spool->append_i64(base);
  *child_baton = new_node(edit, pool);
  return check(edit);
}

svn_error_t *
record_prop(op code, void *baton, const char *name, const svn_string_t *value) {
  if (outside(baton))
    return SVN_NO_ERROR;
  auto *node = static_cast<rec_node *>(baton);
  rec_edit *edit = node->edit;
  SVN_ERR(put_op(edit, code));
  edit->spool->append_i64(node->id);
  edit->spool->append_cstr(name);
  put_string(edit, value);
  return check(edit);
}

svn_error_t *
record_absent(op code, const char *path, void *parent_baton) {
  if (outside(parent_baton))
    return SVN_NO_ERROR;
  rec_edit *edit = nullptr;
  SVN_ERR(put_child(code, path, parent_baton, &edit));
  return check(edit);
}

svn_error_t *
rec_add_directory(const char *path, void *parent_baton,
                  const char *copyfrom_path, svn_revnum_t copyfrom_rev,
                  apr_pool_t *pool, void **child_baton) noexcept {
  return record_add(OP_ADD_DIRECTORY, path, parent_baton, copyfrom_path,
                    copyfrom_rev, pool, child_baton);
}

svn_error_t *
rec_open_directory(const char *path, void *parent_baton, svn_revnum_t base,
                   apr_pool_t *pool, void **child_baton) noexcept {
  return record_open(OP_OPEN_DIRECTORY, path, parent_baton, base, pool,
                     child_baton);
}

svn_error_t *
rec_change_dir_prop(void *baton, const char *name, const svn_string_t *value,
                    apr_pool_t *) noexcept {
  return record_prop(OP_CHANGE_DIR_PROP, baton, name, value);
}

svn_error_t *
rec_close_directory(void *baton, apr_pool_t *) noexcept {
  if (outside(baton))
    return SVN_NO_ERROR;
  auto *node = static_cast<rec_node *>(baton);
  SVN_ERR(put_op(node->edit, OP_CLOSE_DIRECTORY));
  node->edit->spool->append_i64(node->id);
  return check(node->edit);
}

svn_error_t *
rec_absent_directory(const char *path, void *parent_baton,
                     apr_pool_t *) noexcept {
  return record_absent(OP_ABSENT_DIRECTORY, path, parent_baton);
}

svn_error_t *
rec_add_file(const char *path, void *parent_baton, const char *copyfrom_path,
             svn_revnum_t copyfrom_rev, apr_pool_t *pool,
             void **file_baton) noexcept {
  return record_add(OP_ADD_FILE, path, parent_baton, copyfrom_path,
                    copyfrom_rev, pool, file_baton);
}

svn_error_t *
rec_open_file(const char *path, void *parent_baton, svn_revnum_t base,
              apr_pool_t *pool, void **file_baton) noexcept {
  return record_open(OP_OPEN_FILE, path, parent_baton, base, pool, file_baton);
}

svn_error_t *
rec_window(svn_txdelta_window_t *window, void *baton) noexcept {
  auto *node = static_cast<rec_node *>(baton);
  rec_edit *edit = node->edit;
  if (!window) {
    SVN_ERR(put_op(edit, OP_WINDOW_END));
    edit->spool->append_i64(node->id);
    return check(edit);
  }
  SVN_ERR(put_op(edit, OP_WINDOW));
  byte_spool *s = edit->spool;
  s->append_i64(node->id);
  s->append_i64(window->sview_offset);
  s->append_i64(static_cast<std::int64_t>(window->sview_len));
  s->append_i64(static_cast<std::int64_t>(window->tview_len));
  s->append_i64(window->src_ops);
  s->append_i64(window->num_ops);
  for (int i = 0; i < window->num_ops; ++i) {
    const svn_txdelta_op_t &o = window->ops[i];
    s->append_u8(static_cast<std::uint8_t>(o.action_code));
    s->append_i64(static_cast<std::int64_t>(o.offset));
    s->append_i64(static_cast<std::int64_t>(o.length));
  }
  put_string(edit, window->new_data);
  return check(edit);
}

// A call on a file that names a checksum (or none).
svn_error_t *
record_checksum(op code, rec_node *node, const char *checksum) {
  SVN_ERR(put_op(node->edit, code));
  node->edit->spool->append_i64(node->id);
  node->edit->spool->append_cstr(checksum);
  return check(node->edit);
}

svn_error_t *
rec_apply_textdelta(void *file_baton, const char *base_checksum, apr_pool_t *,
                    svn_txdelta_window_handler_t *handler,
                    void **handler_baton) noexcept {
  auto *node = static_cast<rec_node *>(file_baton);
  if (outside(node)) {
    *handler = svn_delta_noop_window_handler;
    *handler_baton = nullptr;
    return SVN_NO_ERROR;
  }
  *handler = rec_window;
  *handler_baton = node;
  node->has_text = true;
  return record_checksum(OP_APPLY_TEXTDELTA, node, base_checksum);
}

svn_error_t *
rec_change_file_prop(void *baton, const char *name, const svn_string_t *value,
                     apr_pool_t *) noexcept {
  return record_prop(OP_CHANGE_FILE_PROP, baton, name, value);
}

svn_error_t *
rec_close_file(void *baton, const char *text_checksum, apr_pool_t *) noexcept {
  auto *node = static_cast<rec_node *>(baton);
  if (outside(node))
    return SVN_NO_ERROR;
  if (node->edit->replay_root && node->added_file && !node->has_text) {
    // An empty text, as a diff drive sends it for every added file.
    SVN_ERR(record_checksum(OP_APPLY_TEXTDELTA, node, nullptr));
    SVN_ERR(rec_window(nullptr, node));
  }
  return record_checksum(OP_CLOSE_FILE, node, text_checksum);
}

svn_error_t *
rec_absent_file(const char *path, void *parent_baton, apr_pool_t *) noexcept {
  return record_absent(OP_ABSENT_FILE, path, parent_baton);
}

svn_error_t *
rec_close_edit(void *edit_baton, apr_pool_t *) noexcept {
  return put_op(static_cast<rec_edit *>(edit_baton), OP_CLOSE_EDIT);
}

svn_error_t *
rec_abort_edit(void *edit_baton, apr_pool_t *) noexcept {
  auto *edit = static_cast<rec_edit *>(edit_baton);
  // An aborted drive is recorded only while the recording is still wanted.
  if (!edit->stop->load() && !edit->spool->failed())
    edit->spool->append_u8(OP_ABORT_EDIT);
  return SVN_NO_ERROR;
}

// The replay: the recorded batons by number, each with the pool it lives
// in, and the window handler of the file whose delta is being applied.
struct replay_node {
  void *baton = nullptr;
  apr_pool_t *pool = nullptr;
  svn_txdelta_window_handler_t handler = nullptr;
  void *handler_baton = nullptr;
};

struct replayer {
  byte_spool *spool;
  std::vector<replay_node> nodes; // index: baton number
  std::string a, b;               // string arguments of the current call
  bool a_present = false, b_present = false;
};

svn_error_t *
corrupt() {
  return svn_error_create(SVN_ERR_STREAM_MALFORMED_DATA, nullptr,
                          "A recorded editor drive is cut short or corrupt");
}

svn_error_t *
get_i64(replayer *r, std::int64_t *value) {
  if (!r->spool->read_i64(value))
    return corrupt();
  return SVN_NO_ERROR;
}

svn_error_t *
get_str(replayer *r, std::string *out, bool *present) {
  if (!r->spool->read_str(out, present))
    return corrupt();
  return SVN_NO_ERROR;
}

// The open baton numbered `id`.
svn_error_t *
get_node(replayer *r, replay_node **node) {
  std::int64_t id = 0;
  SVN_ERR(get_i64(r, &id));
  if (id <= 0 || static_cast<std::size_t>(id) >= r->nodes.size() ||
      !r->nodes[id].pool)
    return corrupt();
  *node = &r->nodes[id];
  return SVN_NO_ERROR;
}

// Registers the baton that the call just opened as the next number.
void
push_node(replayer *r, void *baton, apr_pool_t *pool) {
  replay_node node;
  node.baton = baton;
  node.pool = pool;
  r->nodes.push_back(node);
}

const char *
arg(const std::string &value, bool present) {
  return present ? value.c_str() : nullptr;
}

svn_error_t *
replay_window(replayer *r, apr_pool_t *scratch) {
  replay_node *node = nullptr;
  SVN_ERR(get_node(r, &node));
  std::int64_t sview_offset = 0, sview_len = 0, tview_len = 0, src_ops = 0,
               num_ops = 0;
  SVN_ERR(get_i64(r, &sview_offset));
  SVN_ERR(get_i64(r, &sview_len));
  SVN_ERR(get_i64(r, &tview_len));
  SVN_ERR(get_i64(r, &src_ops));
  SVN_ERR(get_i64(r, &num_ops));
  if (num_ops < 0 || static_cast<std::uint64_t>(num_ops) > r->spool->size() ||
      !node->handler)
    return corrupt();
  auto *ops = static_cast<svn_txdelta_op_t *>(
      apr_palloc(scratch, sizeof(svn_txdelta_op_t) * (num_ops ? num_ops : 1)));
  for (std::int64_t i = 0; i < num_ops; ++i) {
    std::uint8_t code = 0;
    std::int64_t offset = 0, length = 0;
    if (!r->spool->read_u8(&code))
      return corrupt();
    SVN_ERR(get_i64(r, &offset));
    SVN_ERR(get_i64(r, &length));
    ops[i].action_code = static_cast<enum svn_delta_action>(code);
    ops[i].offset = static_cast<apr_size_t>(offset);
    ops[i].length = static_cast<apr_size_t>(length);
  }
  SVN_ERR(get_str(r, &r->a, &r->a_present));
  svn_string_t new_data = {r->a.data(), r->a.size()};
  svn_txdelta_window_t window{};
  window.sview_offset = static_cast<svn_filesize_t>(sview_offset);
  window.sview_len = static_cast<apr_size_t>(sview_len);
  window.tview_len = static_cast<apr_size_t>(tview_len);
  window.num_ops = static_cast<int>(num_ops);
  window.src_ops = static_cast<int>(src_ops);
  window.ops = ops;
  window.new_data = r->a_present ? &new_data : nullptr;
  return node->handler(&window, node->handler_baton);
}

svn_error_t *
replay_calls(replayer *r, const svn_delta_editor_t *editor, void *edit_baton,
             apr_pool_t *pool) {
  apr_pool_t *scratch = svn_pool_create(pool);
  r->nodes.emplace_back(); // numbers start at 1
  for (;;) {
    svn_pool_clear(scratch);
    std::uint8_t code = 0;
    if (!r->spool->read_u8(&code))
      return corrupt();
    std::int64_t n = 0;
    replay_node *node = nullptr;
    void *child = nullptr;
    switch (code) {
    case OP_TARGET_REVISION:
      SVN_ERR(get_i64(r, &n));
      SVN_ERR(editor->set_target_revision(edit_baton, n, scratch));
      break;
    case OP_OPEN_ROOT: {
      SVN_ERR(get_i64(r, &n));
      apr_pool_t *dir_pool = svn_pool_create(pool);
      SVN_ERR(editor->open_root(edit_baton, n, dir_pool, &child));
      push_node(r, child, dir_pool);
      break;
    }
    case OP_DELETE_ENTRY:
      SVN_ERR(get_str(r, &r->a, &r->a_present));
      SVN_ERR(get_node(r, &node));
      SVN_ERR(get_i64(r, &n));
      SVN_ERR(editor->delete_entry(arg(r->a, r->a_present), n, node->baton,
                                   scratch));
      break;
    case OP_ADD_DIRECTORY:
    case OP_ADD_FILE: {
      SVN_ERR(get_str(r, &r->a, &r->a_present));
      SVN_ERR(get_node(r, &node));
      SVN_ERR(get_str(r, &r->b, &r->b_present));
      SVN_ERR(get_i64(r, &n));
      apr_pool_t *child_pool = svn_pool_create(node->pool);
      if (code == OP_ADD_DIRECTORY)
        SVN_ERR(editor->add_directory(arg(r->a, r->a_present), node->baton,
                                      arg(r->b, r->b_present), n, child_pool,
                                      &child));
      else
        SVN_ERR(editor->add_file(arg(r->a, r->a_present), node->baton,
                                 arg(r->b, r->b_present), n, child_pool,
                                 &child));
      push_node(r, child, child_pool);
      break;
    }
    case OP_OPEN_DIRECTORY:
    case OP_OPEN_FILE: {
      SVN_ERR(get_str(r, &r->a, &r->a_present));
      SVN_ERR(get_node(r, &node));
      SVN_ERR(get_i64(r, &n));
      apr_pool_t *child_pool = svn_pool_create(node->pool);
      if (code == OP_OPEN_DIRECTORY)
        SVN_ERR(editor->open_directory(arg(r->a, r->a_present), node->baton, n,
                                       child_pool, &child));
      else
        SVN_ERR(editor->open_file(arg(r->a, r->a_present), node->baton, n,
                                  child_pool, &child));
      push_node(r, child, child_pool);
      break;
    }
    case OP_CHANGE_DIR_PROP:
    case OP_CHANGE_FILE_PROP: {
      SVN_ERR(get_node(r, &node));
      SVN_ERR(get_str(r, &r->a, &r->a_present));
      SVN_ERR(get_str(r, &r->b, &r->b_present));
      svn_string_t value = {r->b.data(), r->b.size()};
      const svn_string_t *v = r->b_present ? &value : nullptr;
      if (code == OP_CHANGE_DIR_PROP)
        SVN_ERR(editor->change_dir_prop(node->baton, arg(r->a, r->a_present), v,
                                        scratch));
      else
        SVN_ERR(editor->change_file_prop(node->baton, arg(r->a, r->a_present),
                                         v, scratch));
      break;
    }
    case OP_CLOSE_DIRECTORY:
      SVN_ERR(get_node(r, &node));
      SVN_ERR(editor->close_directory(node->baton, node->pool));
      svn_pool_destroy(node->pool);
      node->pool = nullptr;
      break;
    case OP_ABSENT_DIRECTORY:
    case OP_ABSENT_FILE:
      SVN_ERR(get_str(r, &r->a, &r->a_present));
      SVN_ERR(get_node(r, &node));
      if (code == OP_ABSENT_DIRECTORY)
        SVN_ERR(editor->absent_directory(arg(r->a, r->a_present), node->baton,
                                         scratch));
      else
        SVN_ERR(
            editor->absent_file(arg(r->a, r->a_present), node->baton, scratch));
      break;
    case OP_APPLY_TEXTDELTA:
      SVN_ERR(get_node(r, &node));
      SVN_ERR(get_str(r, &r->a, &r->a_present));
      SVN_ERR(editor->apply_textdelta(
          node->baton,
          r->a_present ? apr_pstrdup(node->pool, r->a.c_str()) : nullptr,
          node->pool, &node->handler, &node->handler_baton));
      break;
    case OP_WINDOW:
      SVN_ERR(replay_window(r, scratch));
      break;
    case OP_WINDOW_END:
      SVN_ERR(get_node(r, &node));
      if (!node->handler)
        return corrupt();
      SVN_ERR(node->handler(nullptr, node->handler_baton));
      node->handler = nullptr;
      break;
    case OP_CLOSE_FILE:
      SVN_ERR(get_node(r, &node));
      SVN_ERR(get_str(r, &r->a, &r->a_present));
      SVN_ERR(
          editor->close_file(node->baton, arg(r->a, r->a_present), node->pool));
      svn_pool_destroy(node->pool);
      node->pool = nullptr;
      break;
    case OP_CLOSE_EDIT:
      return editor->close_edit(edit_baton, scratch);
    case OP_ABORT_EDIT:
      return editor->abort_edit(edit_baton, scratch);
    default:
      return corrupt();
    }
  }
}

} // namespace

void
drive_record_editor(const svn_delta_editor_t **editor, void **edit_baton,
                    byte_spool *spool, const std::atomic<bool> *stop,
                    const replay_as_diff *replay, apr_pool_t *pool) {
  svn_delta_editor_t *table = svn_delta_default_editor(pool);
  table->set_target_revision = rec_set_target_revision;
  table->open_root = rec_open_root;
  table->delete_entry = rec_delete_entry;
  table->add_directory = rec_add_directory;
  table->open_directory = rec_open_directory;
  table->change_dir_prop = rec_change_dir_prop;
  table->close_directory = rec_close_directory;
  table->absent_directory = rec_absent_directory;
  table->add_file = rec_add_file;
  table->open_file = rec_open_file;
  table->apply_textdelta = rec_apply_textdelta;
  table->change_file_prop = rec_change_file_prop;
  table->close_file = rec_close_file;
  table->absent_file = rec_absent_file;
  table->close_edit = rec_close_edit;
  table->abort_edit = rec_abort_edit;
  auto *edit = static_cast<rec_edit *>(apr_palloc(pool, sizeof(rec_edit)));
  edit->spool = spool;
  edit->stop = stop;
  edit->next_id = 1;
  edit->replay_root = replay ? replay->root : nullptr;
  edit->replay_root_len = replay ? std::strlen(replay->root) : 0;
  edit->replaced = replay ? replay->replaced : nullptr;
  *editor = table;
  *edit_baton = edit;
}

svn_error_t *
drive_replay(byte_spool *spool, const svn_delta_editor_t *editor,
             void *edit_baton, apr_pool_t *pool) {
  if (!spool->rewind())
    return corrupt();
  replayer r{spool, {}, {}, {}};
  apr_pool_t *replay_pool = svn_pool_create(pool);
  svn_error_t *err = replay_calls(&r, editor, edit_baton, replay_pool);
  svn_pool_destroy(replay_pool);
  return err;
}
