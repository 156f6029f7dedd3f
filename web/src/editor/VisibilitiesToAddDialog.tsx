import { useState } from "react";
import type { Visibility } from "../api/types";
import { ErrorNotice } from "../components/ErrorNotice";
import { Modal } from "../components/Modal";
import { formatList } from "./lists";
import { VisibilityChecks } from "./VisibilityChecks";

interface Props {
  title: string;
  /** What is being put where, in a sentence. */
  what: string;
  /** The audiences the destination has and the pasted nodes lack. */
  candidates: string[];
  catalog: Visibility[];
  confirmLabel: string;
  onConfirm(visibilitiesToAdd: string): Promise<unknown>;
  onClose(): void;
}

/** Which of the destination's audiences the pasted or inserted nodes get as well. */
export function VisibilitiesToAddDialog({ title, what, candidates, catalog, confirmLabel, onConfirm, onClose }: Props) {
  const [chosen, setChosen] = useState<string[]>([]);
  const [error, setError] = useState<unknown>(null);
  const [busy, setBusy] = useState(false);
  async function confirm() {
    setBusy(true);
    setError(null);
    try {
      await onConfirm(formatList(chosen));
      onClose();
    } catch (e) {
      setError(e);
    } finally {
      setBusy(false);
    }
  }
  return (
    <Modal title={title} onClose={onClose}>
      <p>{what}</p>
      <p>
        The place you put them is visible to audiences the nodes are not visible to. Tick the audiences the nodes
        should be visible to as well; audiences the place lacks are always taken away.
      </p>
      <VisibilityChecks
        legend="Also make visible to"
        catalog={catalog}
        allowed={candidates}
        value={chosen}
        onChange={setChosen}
        idPrefix="add-vis-to"
      />
      <ErrorNotice error={error} />
      <div className="dialog-actions">
        <button type="button" onClick={onClose}>
          Cancel
        </button>
        <button type="button" className="primary" disabled={busy} onClick={() => void confirm()}>
          {confirmLabel}
        </button>
      </div>
    </Modal>
  );
}
