"""The bucket module written out in plain Python, as the reference that the
differential tests hold the compiled module to. Every behaviour here is meant
to match the module exactly: outputs, counts, texts, printed lines, errors.
"""

import bisect
from numbers import Number

from tarvello.custom.model_data import extractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

ANSI_ESCAPE = "\x1b["
NORMAL_COLOR = ANSI_ESCAPE + "30;m"
FAST_MODE = False


class BadAttributeError(Exception):
    def __init__(self, key, value):
        self._key = key
        self._value = value

    def __str__(self):
        return "Attribute '%s' with value %s is of wrong type(%s)" % (
            self._key, self._value, type(self._value))


class BaseBucket(object):
    def __init__(self, name, extractor, total_buckets):
        self._name = name
        self._extractor = extractor
        self._total_buckets = total_buckets
        self._distro = [0] * self._total_buckets
        self._total = 0
        self._out_buckets = []
        for i in range(self._total_buckets):
            row = [0.0] * self._total_buckets
            row[i] = 1.0
            self._out_buckets.append(row)

    def write_to_proto(self, proto):
        proto.name = self._name
        proto.bucket_count = self._total_buckets
        proto.extractor.CopyFrom(self._extractor.to_proto())

    def _remove_bucket(self):
        if self._total > 0:
            raise Exception("Cannot remove bucket after adding values: %d" % self._total)
        self._distro = self._distro[0:-1]
        self._total_buckets = self._total_buckets - 1

    def _increment(self, bucket):
        # The total follows the distribution, so a refused index counts nothing.
        total = self._total + 1
        self._distro[bucket] = self._distro[bucket] + 1
        self._total = total

    def _create_entry(self, index):
        self._increment(index)
        return self._out_buckets[index]

    def get_distro(self):
        n = self._total_buckets
        text = "("
        for i in range(min(10, n)):
            share = int(self._distro[i] * 100 / self._total) if self._total > 0 else 0
            if i == n - 2:
                text += " < %s%2d%%%s" % (ANSI_ESCAPE + "38;5;4m", share, NORMAL_COLOR)
            elif i == n - 1:
                text += " | %s: %s%2d%%%s" % (self.get_bucket_label(i), ANSI_ESCAPE + "38;5;4m",
                                              share, NORMAL_COLOR)
            else:
                text += "%s%2d%%%s %-6s" % (ANSI_ESCAPE + "38;5;4m", share, NORMAL_COLOR,
                                            self.get_bucket_label(i))
        return text + ")"

    def get_short_label(self):
        width = self._total_buckets * 4 - 2
        shown = self._name[0:width] if width < len(self._name) else self._name
        return ("|%" + str(self._total_buckets * 4 - 2) + "s|") % (shown,)

    def bucketize(self, row):
        try:
            bucketize_value = self._bucketize_value
            return bucketize_value(self._extractor.extract(row))
        except KeyError:
            print("KeyError in %s: %s" % (self._name, str(row)))
            raise


def _null_share_distro(bucket, null_index):
    text = "(" + bucket._extractor.description()
    if bucket._has_null:
        total = bucket._distro[0]
        for i in range(1, null_index + 1):
            total = total + bucket._distro[i]
        share = int(bucket._distro[null_index] * 100 / total) if total else 0
        text += ", %d%% null" % share
    return text + ")"


def _drop_null_bucket(bucket, null_fraction):
    if bucket._has_null and null_fraction < 0.02:
        # Refused after counting: the bucket stays exactly as it was.
        bucket._remove_bucket()
        bucket._has_null = False


class BooleanBucket(BaseBucket):
    def __init__(self, name, extractor, has_null=True):
        super().__init__(name, extractor, 3 if has_null else 2)
        self._has_null = has_null

    def __str__(self):
        return "%s: %d %s" % (self._name, self._total_buckets,
                              "has_null" if self._has_null else "no_null")

    def set_null_fraction(self, null_fraction):
        _drop_null_bucket(self, null_fraction)

    def write_to_proto(self, proto):
        super().write_to_proto(proto)
        proto.bucket_type = row_handler_pb2.Bucket.BOOLEAN
        proto.has_null = self._has_null

    def _bucketize_value(self, value):
        if value is None:
            if self._has_null:
                return self._create_entry(2)
            value = False
        if not FAST_MODE and not isinstance(value, bool):
            raise BadAttributeError(self._name, value)
        return self._create_entry(1 if value else 0)

    def get_distro(self):
        return _null_share_distro(self, 2)


class ValueBucket(BaseBucket):
    def __init__(self, name, extractor, has_null=True, default_value=None):
        if default_value is not None:
            has_null = False
        super().__init__(name, extractor, 2 if has_null else 1)
        self._has_null = has_null
        self._default_value = default_value

    def __str__(self):
        state = "has_null" if self._has_null else "def=%s" % str(self._default_value)
        return "%s: %d %s extractor: %s" % (self._name, self._total_buckets, state,
                                            self._extractor._field_name)

    def write_to_proto(self, proto):
        super().write_to_proto(proto)
        proto.bucket_type = row_handler_pb2.Bucket.DIRECT
        proto.has_null = self._has_null
        if self._default_value is not None:
            proto.none_value = self._default_value

    def set_null_fraction(self, null_fraction):
        _drop_null_bucket(self, null_fraction)

    def _bucketize_value(self, value):
        if value is None:
            if self._has_null:
                return self._create_entry(1)
            value = self._default_value
        if not FAST_MODE and value is not None and not isinstance(value, Number):
            raise BadAttributeError(self._name, value)
        self._increment(0)
        return [value, 0.0] if self._has_null else [value]

    def get_distro(self):
        return _null_share_distro(self, 1)


class CategoricalBucket(BaseBucket):
    def __init__(self, name, extractor, min_fraction, category_dict=None, none_value=None):
        super().__init__(name, extractor, 1)
        self._min_fraction = min_fraction
        self._category_dict = category_dict
        self._none_value = none_value
        if self._category_dict:
            self._distro = [0] * (len(self._category_dict) + 2)

    def set_categories(self, values):
        total = 0.0
        for entry in values:
            total += entry["count"]
        # Built aside and installed whole, so a failure leaves the old map.
        categories = {}
        for entry in values:
            if entry["count"] / total > self._min_fraction:
                name = entry["name"]
                if name not in categories:
                    categories[name] = len(categories)
        self._category_dict = categories
        self._distro = [0] * (len(categories) + 2)
        ordered = sorted(values, key=lambda entry: entry["count"], reverse=True)
        names = [entry["name"] for entry in ordered[:min(len(categories) + 2, 10)]]
        print("categories for %s: %s" % (self._name, names))

    def __str__(self):
        return "%s: extractor=%s" % (self._name, self._extractor._field_name)

    def write_to_proto(self, proto):
        super().write_to_proto(proto)
        proto.bucket_type = row_handler_pb2.Bucket.CATEGORY
        pairs = sorted(self._category_dict.items(), key=lambda pair: pair[1])
        total = 0.0
        for count in self._distro:
            total += count

        def share(slot):
            # Nothing counted: every share is 0.0, and no slot is read.
            return float(self._distro[slot]) / total if total else 0.0

        for i, (value, _) in enumerate(pairs):
            if isinstance(value, str):
                proto.string_buckets.append(value)
            elif isinstance(value, float):
                proto.float_buckets.append(value)
            else:
                proto.int_buckets.append(value)
            proto.bucket_fraction.append(share(i + 2))
        proto.bucket_fraction.append(share(0))
        proto.bucket_fraction.append(share(1))
        if self._none_value is not None:
            proto.none_value = self._none_value

    def _bucketize_value(self, value):
        if not FAST_MODE and value != None:  # noqa: E711 - the host's inequality
            if self._extractor.data_type_string() == "STRING" and not isinstance(value, str):
                raise BadAttributeError(self._name, value)
            if self._extractor.data_type_string() == "FLOAT" and not isinstance(value, Number):
                raise BadAttributeError(self._name, value)
        if value is None:
            self._distro[0] = self._distro[0] + 1
            index = self._none_value
        elif value in self._category_dict:
            index = self._category_dict[value]
            self._distro[index + 2] = self._distro[index + 2] + 1
        else:
            self._distro[1] = self._distro[1] + 1
            index = -1
        return [index]

    def get_distro(self):
        count = 0
        for x in self._distro:
            count += x
        # Nothing counted: no shares, and the counts are not read again.
        shares = [x * 100 / count for x in self._distro if float(x) / count > 0.009] if count else []
        return "(" + str(shares) + ")"


class SimpleCategoricalBucket(BaseBucket):
    def __init__(self, name, extractor, categories):
        super().__init__(name, extractor, 1)
        value_map = {}
        for i in range(len(categories)):
            value_map[categories[i]] = i
        self._category_value_map = value_map

    def _bucketize_value(self, value):
        ids = set()
        if type(value) is list or type(value) is tuple:
            for entry in value if len(value) else [None]:
                found = self._category_value_map.get(entry)
                ids.add(-1 if found == None else found)  # noqa: E711
        elif type(value) is dict:
            ids.add(-1)
        else:
            found = self._category_value_map.get(value)
            ids.add(-1 if found == None else found)  # noqa: E711
        return sorted(ids)

    def get_distro(self):
        return "(" + self._extractor.description() + ", %d categories)" % len(
            self._category_value_map)


class Bucket(BaseBucket):
    def __init__(self, name, extractor, buckets, has_none=True):
        total = len(buckets) + 2 if has_none else len(buckets) + 1
        super().__init__(name, extractor, total)
        self._has_none = has_none
        self._buckets = buckets
        self._len = len(buckets)

    def __str__(self):
        return ("%s: %d (" % (self._name, self._total_buckets) + str(self._buckets)
                + ") extractor: %s" % (self._extractor._field_name,))

    def write_to_proto(self, proto):
        super().write_to_proto(proto)
        proto.bucket_type = row_handler_pb2.Bucket.BUCKET
        proto.has_null = self._has_none
        for boundary in self._buckets:
            proto.float_buckets.append(boundary)

    def get_bucket_label(self, index):
        if index < self._len:
            return "%4.1f" % self._buckets[index]
        if index == self._len:
            return ">%4.1f" % self._buckets[self._len - 1]
        return "None"

    def _bucketize_value(self, value):
        if value is None:
            return self._create_entry(self._len + 1 if self._has_none else 0)
        if not FAST_MODE and not isinstance(value, Number):
            raise BadAttributeError(self._name, value)
        return self._create_entry(bisect.bisect(self._buckets, value))


class StringBucket(Bucket):
    def __init__(self, name, extractor, buckets, has_none=True):
        super().__init__(name, extractor, buckets, has_none)
        self._bucket_map = {}
        for i in range(self._len):
            self._bucket_map[self._buckets[i]] = i

    def write_to_proto(self, proto):
        BaseBucket.write_to_proto(self, proto)
        proto.bucket_type = row_handler_pb2.Bucket.STRING
        proto.has_null = self._has_none
        for value in self._buckets:
            proto.string_buckets.append(value)

    def get_bucket_label(self, index):
        if index < self._len:
            return self._buckets[index]
        if index == self._len:
            return "Unknown"
        return "None"

    def _bucketize_value(self, value):
        index = self._bucket_map[value] if value in self._bucket_map else self._len
        return self._create_entry(index)


def create_category_dict(values):
    categories = {}
    for i, value in enumerate(values):
        categories[value] = i
    return categories


def read_from_proto(bucket_proto):
    field_extractor = extractor.read_from_proto(bucket_proto.extractor)
    bucket_type = bucket_proto.bucket_type
    name = bucket_proto.name
    none_value = bucket_proto.none_value if bucket_proto.HasField("none_value") else None
    kinds = row_handler_pb2.Bucket
    if bucket_type == kinds.STRING:
        bucket = StringBucket(name, field_extractor, list(bucket_proto.string_buckets),
                              bucket_proto.has_null)
    elif bucket_type == kinds.DIRECT:
        bucket = ValueBucket(name, field_extractor, bucket_proto.has_null, none_value)
    elif bucket_type == kinds.BUCKET:
        bucket = Bucket(name, field_extractor, list(bucket_proto.float_buckets),
                        bucket_proto.has_null)
    elif bucket_type == kinds.CATEGORY:
        for field in (bucket_proto.string_buckets, bucket_proto.int_buckets,
                      bucket_proto.float_buckets):
            if len(field) > 0:
                categories = create_category_dict(field)
                break
        else:
            raise Exception("Category bucket %s has no buckets" % name)
        # The message keeps the index as a double; the bucket hands out an int.
        if none_value is not None and none_value.is_integer():
            none_value = int(none_value)
        bucket = CategoricalBucket(name, field_extractor, 0, category_dict=categories,
                                   none_value=none_value)
    elif bucket_type == kinds.BOOLEAN:
        bucket = BooleanBucket(name, field_extractor, bucket_proto.has_null)
    else:
        raise Exception("Bucket %s of unknown type" % name)
    print("bucket: " + type(bucket).__str__(bucket))
    return bucket
