"""A reference model set of the local database written with SQLAlchemy and
SQLAlchemy-Utils (Debian's python3-sqlalchemy and python3-sqlalchemy-utils):
an independent oracle for the tests and the yardstick of the store benchmark.
The package never imports either library."""
import binascii
import types
import uuid


def build():
    """The reference classes, and open_session(path, key) -> a session over
    the SQLite file |path| whose encrypted columns use |key|."""
    import arrow
    import sqlalchemy as sa
    import sqlalchemy_utils as utils
    from sqlalchemy.orm import declarative_base, relationship, sessionmaker
    from sqlalchemy.orm.collections import attribute_mapped_collection
    from sqlalchemy.types import CHAR, TypeDecorator

    holder = types.SimpleNamespace(key=None)

    class GUID(TypeDecorator):
        impl = CHAR(32)
        cache_ok = True

        def process_bind_param(self, value, dialect):
            if value is None:
                return value
            return "%.32x" % (value if isinstance(value, uuid.UUID) else uuid.UUID(value)).int

        def process_result_value(self, value, dialect):
            return None if value is None else uuid.UUID(value)

    class Binary(TypeDecorator):
        impl = CHAR
        cache_ok = True

        def process_bind_param(self, value, dialect):
            if value is None:
                return value
            return binascii.hexlify(value if isinstance(value, bytes) else value.encode("utf-8")).decode("utf-8")

        def process_result_value(self, value, dialect):
            return None if value is None else binascii.unhexlify(value)

    class DateTime(TypeDecorator):
        impl = CHAR
        cache_ok = True

        def process_bind_param(self, value, dialect):
            if value is None:
                return value
            return (value if isinstance(value, arrow.Arrow) else arrow.get(value)).isoformat()

        def process_result_value(self, value, dialect):
            return None if value is None else arrow.get(value).datetime

    def Enc(inner):
        return utils.EncryptedType(inner, key=lambda: holder.key)

    Base = declarative_base()
    C = sa.Column

    class User(Base):
        __tablename__ = "users"
        id = C(Enc(sa.String), primary_key=True)

    class Key(Base):
        __tablename__ = "keys"
        __table_args__ = (sa.UniqueConstraint("user_id", "key_type", "index"),)
        id = C(sa.Integer, primary_key=True)
        user_id = C(Enc(GUID), nullable=False, index=True)
        active = C(Enc(sa.Boolean), nullable=False, default=True)
        key_type = C(Enc(sa.String), nullable=False)
        pub_key = C(Enc(Binary), nullable=False)
        index = C(Enc(sa.Integer), nullable=False)

    class Container(Base):
        __tablename__ = "containers"
        id = C(Enc(GUID), primary_key=True)
        type = C(Enc(sa.String))
        length = C(Enc(sa.Integer), nullable=False)
        created_at = C(Enc(DateTime))
        created_by = C(Enc(GUID))
        modified_at = C(Enc(DateTime))
        modified_by = C(Enc(GUID))
        zov_location = C(Enc(sa.String))
        synced_at = C(Enc(DateTime), nullable=False)
        portion = C(Enc(sa.String), nullable=False)
        access = relationship("ContainerAccess", backref="container", lazy="joined",
                              collection_class=attribute_mapped_collection("user_id"))

    class ContainerAccess(Base):
        __tablename__ = "container_accesses"
        __table_args__ = (sa.PrimaryKeyConstraint("user_id", "container_id"),)
        user_id = C(Enc(GUID), nullable=False)
        container_id = C(Enc(GUID), sa.ForeignKey("containers.id", onupdate="CASCADE", ondelete="CASCADE"),
                         nullable=False)
        created_at = C(Enc(DateTime))
        created_by = C(Enc(GUID))
        modified_at = C(Enc(DateTime))
        modified_by = C(Enc(GUID))
        permissions = C(Enc(sa.Integer), nullable=False)
        expires_at = C(Enc(DateTime))
        key_blob = C(Enc(Binary), nullable=False)

    class Event(Base):
        __tablename__ = "events"
        id = C(Enc(sa.BigInteger), primary_key=True)
        action = C(Enc(sa.String), nullable=False)
        changes = C(Enc(sa.JSON))
        client_app_name = C(Enc(sa.String))
        container_expired_at = C(Enc(DateTime), nullable=False)
        container_id = C(Enc(GUID))
        container_modified_at = C(Enc(DateTime), nullable=False)
        container_type = C(Enc(sa.String))
        date = C(Enc(DateTime), nullable=False)
        related_user_id = C(Enc(GUID))
        type = C(Enc(sa.String), nullable=False)

    def open_session(path, key):
        holder.key = key
        engine = sa.create_engine("sqlite:///%s" % path)
        sa.event.listen(engine, "connect", lambda c, r: c.execute("PRAGMA foreign_keys=ON"))
        Base.metadata.create_all(engine)
        return sessionmaker(engine)()

    return types.SimpleNamespace(User=User, Key=Key, Container=Container, ContainerAccess=ContainerAccess,
                                 Event=Event, Base=Base, open_session=open_session, sa=sa, utils=utils)
