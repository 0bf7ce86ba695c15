#include "records/dataops.h"

#include <cstring>
#include <vector>

#include "btree/keys.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/freelist.h"
#include "records/record.h"

namespace kx {

namespace {

const uint8_t kEmptyKey[1] = {0};

bool keyed(const KXDLIST& e) { return e.key_type != NoKey && e.key_type != static_cast<uint8_t>('E') && e.root != 0; }

uint8_t compare_type(const KXDLIST& e) { return e.key_type == StringKey ? 0 : static_cast<uint8_t>(e.key_type & 31); }

int32_t add_key(KXCB* cb, const KXDLIST& e, const uint8_t* key, uint32_t recno) {
    cb->key_byte_order = 1;
    return e.dups == 'D' ? cdupadd(cb, e.root, key, recno, nullptr, 0) : cunqadd(cb, e.root, key, recno, nullptr, 0);
}

// The stored record's checksum (low 8 bits) and, with the check option set,
// its data list checksum.
int32_t verify_stored(KXCB* cb, const uint8_t* rec, int32_t length, const KXDLIST* list) {
    if (length < RecordHeaderBytes + 2) return err::RecordSum;
    const uint16_t stored = get16(rec + 2, order_flag(cb));
    if ((stored & 0xFF) != (record_checksum(rec + 4, length - 4) & 0xFF)) return err::RecordSum;
    if (cb->check_dlist != 0 && static_cast<int16_t>(get16(rec, order_flag(cb))) != checkdlist(list))
        return err::DlistSum;
    return 0;
}

}  // namespace

// Puts back the stored record's keys for the keyed fields up to index last.
void undokeys(KXCB* cb, const uint8_t* rec, int32_t length, uint32_t recno, const KXDLIST* list, int32_t last) {
    for (int32_t i = 0; i <= last && list[i].type != EndOfList; ++i) {
        if (!keyed(list[i])) continue;
        uint8_t old_key[KeyOutputBytes + 13] = {}, new_key[KeyOutputBytes + 13] = {};
        if (record_field_key(cb, rec, length, list, i, old_key, false) != 0) continue;
        if (dsetkey(cb, list[i].root, list, i, new_key) != 0) return;
        if (cikeycmp(cb, list[i].root, compare_type(list[i]), old_key, new_key) == 0) continue;
        const int32_t d = cdelete(cb, list[i].root, new_key, recno);
        if (d == 0 || d == err::Fail) add_key(cb, list[i], old_key, recno);
    }
}

bool newrecno(KXCB* cb, uint32_t* number, bool* preset) {
    *preset = false;
    if (cb->preset_record >= 1) {
        *number = static_cast<uint32_t>(cb->preset_record);
        cb->preset_record = -1;
        *preset = true;
        return true;
    }
    if (cb->reuse_records != 0 && cb->free_records > 0) {
        if (cfirst(cb, FreeNumberTree, nullptr, 0) != 0) return false;
        --cb->free_records;
        header_changed(cb);
        *number = cb->recval;
        return cdelcur(cb, FreeNumberTree) == 0;
    }
    if (cnextrec(cb) != 0) return false;
    *number = cb->recval;
    return true;
}

// A preset number that lies in the free-number tree is taken out of it once
// a record holds it: otherwise it would be handed out again while in use
// and the add that got it would fail.
void take_free_number(KXCB* cb, uint32_t number) {
    if (cb->free_records == 0) return;
    cb->key_byte_order = 1;
    if (cdelete(cb, FreeNumberTree, kEmptyKey, number) == 0) {
        --cb->free_records;
        header_changed(cb);
    }
}

void freerecno(KXCB* cb, uint32_t number) {
    if (cb->reuse_records == 0) return;
    cb->key_byte_order = 1;
    if (cdupadd(cb, FreeNumberTree, kEmptyKey, number, nullptr, 0) == 0) {
        ++cb->free_records;
        header_changed(cb);
    }
}

int32_t addkeys(KXCB* cb, const uint8_t* rec, int32_t length, uint32_t recno, const KXDLIST* list) {
    for (int32_t i = 0; list[i].type != EndOfList; ++i) {
        if (!keyed(list[i])) continue;
        uint8_t key[KeyOutputBytes + 13] = {};
        int32_t r = record_field_key(cb, rec, length, list, i, key, true);
        if (r == 1) continue;
        if (r == 0) r = add_key(cb, list[i], key, recno);
        if (r != 0) return r;
    }
    return 0;
}

int32_t delkeys(KXCB* cb, const uint8_t* rec, uint32_t recno, const KXDLIST* list, int32_t length) {
    const int32_t r = verify_stored(cb, rec, length, list);
    return r != 0 ? r : removekeys(cb, rec, recno, list, length);
}

int32_t removekeys(KXCB* cb, const uint8_t* rec, uint32_t recno, const KXDLIST* list, int32_t length) {
    int32_t r = 0;
    for (int32_t i = 0; list[i].type != EndOfList; ++i) {
        if (!keyed(list[i])) continue;
        uint8_t key[KeyOutputBytes + 13] = {};
        r = record_field_key(cb, rec, length, list, i, key, false);
        if (r == 1) continue;
        if (r == 0) r = cdelete(cb, list[i].root, key, recno);
        if (r != 0 && r != err::Fail) return r;
    }
    return 0;
}

int32_t updkeys(KXCB* cb, const uint8_t* rec, uint32_t recno, const KXDLIST* list, int32_t length) {
    int32_t r = verify_stored(cb, rec, length, list);
    if (r != 0) return r;
    for (int32_t i = 0; list[i].type != EndOfList; ++i) {
        if (!keyed(list[i])) continue;
        uint8_t old_key[KeyOutputBytes + 13] = {}, new_key[KeyOutputBytes + 13] = {};
        r = record_field_key(cb, rec, length, list, i, old_key, false);
        if (r == 1) continue;
        if (r == 0) r = dsetkey(cb, list[i].root, list, i, new_key);
        if (r != 0) {
            undokeys(cb, rec, length, recno, list, i - 1);
            return r;
        }
        if (cikeycmp(cb, list[i].root, compare_type(list[i]), old_key, new_key) == 0) continue;
        r = cdelete(cb, list[i].root, old_key, recno);
        if (r != 0) {
            undokeys(cb, rec, length, recno, list, i - 1);
            return r;
        }
        r = add_key(cb, list[i], new_key, recno);
        if (r != 0) {
            // This field's old key goes back with the others.
            add_key(cb, list[i], old_key, recno);
            undokeys(cb, rec, length, recno, list, i - 1);
            return r;
        }
    }
    return 0;
}

}  // namespace kx

using namespace kx;

namespace {

int32_t finish(KXCB* cb, int32_t r) {
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : r);
}

// Shared mode: the block must hold the current record's lock.
int32_t require_record_lock(KXCB* cb) {
    if (exclusive(cb) || cb->lock_bypass != 0) return 0;
    const int32_t t = mtstrec(cb);
    if (t == err::HeldByMe) return 0;
    if (t == err::Locked || t == err::NotHeld || t == err::NoCurrent) return err::NoLock;
    return t;
}

int32_t change_count(KXCB* cb, int32_t delta) {
    int32_t r = cgetcnt(cb);
    if (r == 0) r = csetcnt(cb, cb->recval + static_cast<uint32_t>(delta));
    return r;
}

// Reads the current record into the record buffer: 0, -18 when it is not in
// the record tree, -28 when it does not fit the buffer.
int32_t read_current(KXCB* cb) {
    const uint32_t nested = cb->nested_call;
    cb->nested_call = 1;
    const int32_t r = cfind(cb, RecordTree, kEmptyKey, static_cast<uint32_t>(cb->current_record), cb->record_buffer,
                            static_cast<int32_t>(cb->record_buffer_size));
    cb->nested_call = nested;
    if (r != 0) return err::NoRecord;
    if (cb->datatotal > cb->datalen) return err::BufferSmall;
    return 0;
}

}  // namespace

extern "C" {

KX_API int32_t dadd(KXCB* cb, const KXDLIST* list) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->access == 1) return result(cb, err::ReadOnly);
    if (list == nullptr || list_field_count(list) < 0) return result(cb, err::FieldType);
    if (cb->check_dlist != 0) {
        const int32_t v = dlcheckw(cb, list);
        if (v != 0) return result(cb, v);
    }
    int32_t r = strtwrit(cb);
    if (r != 0) return result(cb, r);
    uint32_t recno = 0;
    bool preset = false;
    if (!newrecno(cb, &recno, &preset)) return finish(cb, err::Seek);
    // A number that was not asked for by the caller goes back on failure; a
    // preset number may belong to a record that exists.
    auto give_back = [&] {
        if (!preset) freerecno(cb, recno);
    };
    auto* buf = static_cast<uint8_t*>(cb->record_buffer);
    const int32_t length =
        buf == nullptr ? -1 : packrec(cb, buf, list, cb->record_tag, static_cast<int32_t>(cb->record_buffer_size));
    if (length < 0) {
        give_back();
        return finish(cb, length == -1 ? err::BufferSmall : length);
    }
    r = nodesparen(cb, list);
    if (r != 0) {
        give_back();
        return finish(cb, r);
    }
    r = addkeys(cb, buf, length, recno, list);
    if (r == 0) {
        cb->key_byte_order = 1;
        r = cdupadd(cb, RecordTree, kEmptyKey, recno, buf, length);
        if (r == err::Fail) r = err::NoRecord;
        if (r == 0) {
            cb->current_record = static_cast<int32_t>(recno);
            r = change_count(cb, 1);
            if (r != 0) {
                // The count could not follow: take the record out again.
                cdelete(cb, RecordTree, kEmptyKey, recno);
                cb->current_record = -1;
            } else if (preset) {
                take_free_number(cb, recno);
            }
        }
    }
    if (r != 0) {
        const uint32_t check = cb->check_dlist;
        cb->check_dlist = 0;
        delkeys(cb, buf, recno, list, length);
        cb->check_dlist = check;
        give_back();
    }
    return finish(cb, r);
}

KX_API int32_t dupdate(KXCB* cb, const KXDLIST* list) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->access == 1) return result(cb, err::ReadOnly);
    if (list == nullptr || list_field_count(list) < 0) return result(cb, err::FieldType);
    if (cb->check_dlist != 0) {
        const int32_t v = dlcheckw(cb, list);
        if (v != 0) return result(cb, v);
    }
    if (cb->current_record == -1) return result(cb, err::NoCurrent);
    int32_t r = strtwrit(cb);
    if (r != 0) return result(cb, r);
    r = require_record_lock(cb);
    if (r == 0) r = nodesparen(cb, list);
    if (r == 0) r = read_current(cb);
    if (r == 0) {
        const uint32_t nested = cb->nested_call;
        cb->nested_call = 1;
        auto* old = static_cast<uint8_t*>(cb->record_buffer);
        const int32_t old_length = cb->datalen;
        const uint32_t recno = static_cast<uint32_t>(cb->current_record);
        // The new record is built before any key changes, so that a record
        // too large for the buffer leaves everything as it was.
        std::vector<uint8_t> fresh(cb->record_buffer_size);
        const int32_t length =
            packrec(cb, fresh.data(), list, cb->record_tag, static_cast<int32_t>(cb->record_buffer_size));
        if (length < 0) {
            r = length == -1 ? err::BufferSmall : length;
        } else {
            r = updkeys(cb, old, recno, list, old_length);
            if (r == 0) {
                r = cchange(cb, RecordTree, kEmptyKey, recno, fresh.data(), length);
                if (r != 0) {
                    undokeys(cb, old, old_length, recno, list, list_field_count(list) - 1);
                } else {
                    std::memcpy(old, fresh.data(), static_cast<size_t>(length));
                }
            }
        }
        cb->nested_call = nested;
    }
    return finish(cb, r);
}

KX_API int32_t ddelete(KXCB* cb, const KXDLIST* list) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->access == 1) return result(cb, err::ReadOnly);
    if (list == nullptr || list_field_count(list) < 0) return result(cb, err::FieldType);
    if (cb->current_record == -1) return result(cb, err::NoCurrent);
    int32_t r = strtwrit(cb);
    if (r != 0) return result(cb, r);
    r = require_record_lock(cb);
    if (r != 0) return finish(cb, r);
    r = read_current(cb);
    if (r == 0) {
        const uint32_t recno = static_cast<uint32_t>(cb->current_record);
        // The record's lock comes first: a record another user holds keeps
        // its keys (the bypass option skips only this block's own lock test).
        r = msetlock(cb, RecordTree);
        if (r == 0) r = delkeys(cb, static_cast<uint8_t*>(cb->record_buffer), recno, list, cb->datalen);
        if (r == 0) r = cdelcur(cb, RecordTree);
        if (r == 0) r = change_count(cb, -1);
        if (r == 0) freerecno(cb, recno);
    }
    cb->current_record = -1;
    cb->locked_record = -1;
    return finish(cb, r);
}

}  // extern "C"
