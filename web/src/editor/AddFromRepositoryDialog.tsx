import { useQuery } from "@tanstack/react-query";
import { useDeferredValue, useState } from "react";
import { searchEntities } from "../api/browse";
import type { NodeType, RepEntity } from "../api/types";
import { ErrorNotice } from "../components/ErrorNotice";
import { Modal } from "../components/Modal";
import { TYPE_NAMES } from "./treeModel";

const PAGE = 25;

interface Props {
  parentLabel: string;
  types: NodeType[];
  onAdd(entity: RepEntity): Promise<unknown>;
  onClose(): void;
}

/** A new node that shows an existing text of the repository, found by searching. */
export function AddFromRepositoryDialog({ parentLabel, types, onAdd, onClose }: Props) {
  const [type, setType] = useState<NodeType>(types[0]!);
  const [text, setText] = useState("");
  const [limit, setLimit] = useState(PAGE);
  const [error, setError] = useState<unknown>(null);
  const [busy, setBusy] = useState(false);
  const search = useDeferredValue(text.trim());
  const results = useQuery({
    queryKey: ["search", type, search, limit],
    queryFn: () => searchEntities(search, type, 0, limit),
    placeholderData: (previous) => previous,
  });

  async function add(entity: RepEntity) {
    setBusy(true);
    setError(null);
    try {
      await onAdd(entity);
      onClose();
    } catch (e) {
      setError(e);
    } finally {
      setBusy(false);
    }
  }

  const items = results.data?.items ?? [];
  const total = results.data?.total ?? 0;
  return (
    <Modal title={`Add from repository below ${parentLabel}`} onClose={onClose}>
      <div className="form-grid">
        <label htmlFor="rep-type">Type</label>
        <select id="rep-type" value={type} onChange={(e) => setType(Number(e.target.value) as NodeType)}>
          {types.map((t) => (
            <option key={t} value={t}>
              {TYPE_NAMES[t]}
            </option>
          ))}
        </select>
        <label htmlFor="rep-search">Search texts</label>
        <input id="rep-search" data-autofocus type="search" value={text} onChange={(e) => setText(e.target.value)} />
      </div>
      <ErrorNotice error={results.error} />
      <p role="status" className="hint">
        {results.isPending
          ? "Searching…"
          : total === 0
            ? `No ${TYPE_NAMES[type].toLowerCase()} text matches.`
            : `${total} ${total === 1 ? "text matches" : "texts match"}${total > items.length ? `; ${items.length} shown` : ""}.`}
      </p>
      <ul className="search-results">
        {items.map((e) => (
          <li key={`${e.repType}:${e.repId}`} className="row">
            <span>
              <strong>{e.short}</strong>
              {e.long ? <span className="muted"> — {e.long.length > 120 ? `${e.long.slice(0, 120)}…` : e.long}</span> : null}
            </span>
            <button type="button" disabled={busy} onClick={() => void add(e)} aria-label={`Add ${e.short}`}>
              Add
            </button>
          </li>
        ))}
      </ul>
      {total > items.length ? (
        <button type="button" onClick={() => setLimit((l) => Math.min(l + PAGE, 200))} disabled={limit >= 200}>
          Show more
        </button>
      ) : null}
      <ErrorNotice error={error} title="Not added." />
      <div className="dialog-actions">
        <button type="button" onClick={onClose}>
          Close
        </button>
      </div>
    </Modal>
  );
}
