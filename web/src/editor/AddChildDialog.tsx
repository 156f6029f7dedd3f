import { useState } from "react";
import type { NodeType, Visibility } from "../api/types";
import { ErrorNotice } from "../components/ErrorNotice";
import { Modal } from "../components/Modal";
import { TYPE_NAMES } from "./treeModel";
import { VisibilityChecks } from "./VisibilityChecks";

export interface NewChild {
  type: NodeType;
  short: string;
  long: string;
  visibilities: string[];
}

interface Props {
  parentLabel: string;
  types: NodeType[];
  catalog: Visibility[];
  allowed: string[];
  /** The parent's audiences: a new child starts with them. */
  initialVisibilities: string[];
  onAdd(child: NewChild): Promise<unknown>;
  onClose(): void;
}

/** A new node with new texts below the selected one; only the types the rule allows there are offered. */
export function AddChildDialog({ parentLabel, types, catalog, allowed, initialVisibilities, onAdd, onClose }: Props) {
  const [type, setType] = useState<NodeType>(types[0]!);
  const [short, setShort] = useState("");
  const [long, setLong] = useState("");
  const [visibilities, setVisibilities] = useState(initialVisibilities.filter((v) => allowed.includes(v)));
  const [error, setError] = useState<unknown>(null);
  const [busy, setBusy] = useState(false);

  async function submit() {
    setBusy(true);
    setError(null);
    try {
      await onAdd({ type, short: short.trim(), long, visibilities });
      onClose();
    } catch (e) {
      setError(e);
    } finally {
      setBusy(false);
    }
  }

  return (
    <Modal title={`Add a child below ${parentLabel}`} onClose={onClose}>
      <form
        className="form-grid"
        onSubmit={(e) => {
          e.preventDefault();
          void submit();
        }}
      >
        <fieldset>
          <legend>Type</legend>
          <div className="checks">
            {types.map((t) => (
              <label key={t} htmlFor={`add-type-${t}`}>
                <input
                  id={`add-type-${t}`}
                  type="radio"
                  name="add-type"
                  checked={type === t}
                  onChange={() => setType(t)}
                />
                {TYPE_NAMES[t]}
              </label>
            ))}
          </div>
        </fieldset>
        <label htmlFor="add-short">Short text</label>
        <input id="add-short" data-autofocus required value={short} onChange={(e) => setShort(e.target.value)} />
        <label htmlFor="add-long">Long text</label>
        <textarea id="add-long" value={long} onChange={(e) => setLong(e.target.value)} />
        <VisibilityChecks
          legend="Visible to"
          catalog={catalog}
          allowed={allowed}
          value={visibilities}
          onChange={setVisibilities}
          idPrefix="add-vis"
        />
        <ErrorNotice error={error} title="Not added." />
        <div className="dialog-actions">
          <button type="button" onClick={onClose}>
            Cancel
          </button>
          <button type="submit" className="primary" disabled={busy || !short.trim()}>
            Add
          </button>
        </div>
      </form>
    </Modal>
  );
}
