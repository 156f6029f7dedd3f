import { useQuery } from "@tanstack/react-query";
import { useState } from "react";
import { getTree } from "../api/browse";
import { getVisibilitiesToAdd, type NodeRef } from "../api/edit";
import { keys, useTemplates } from "../api/queries";
import type { NodeType, Visibility } from "../api/types";
import { ErrorNotice } from "../components/ErrorNotice";
import { Modal } from "../components/Modal";
import { formatList, parseList } from "./lists";
import { TYPE_NAMES } from "./treeModel";
import { VisibilityChecks } from "./VisibilityChecks";

interface Props {
  dst: NodeRef;
  dstLabel: string;
  /** The types the selected node takes as children. */
  allowedTypes: NodeType[];
  catalog: Visibility[];
  onInsert(templateId: number, visibilitiesToAdd: string): Promise<unknown>;
  onClose(): void;
}

/** Why a template cannot go below the node, or null when it can. */
export function templateMismatch(topType: number | null, allowed: NodeType[]): string | null {
  if (topType === null || topType === 10) return "This template is empty: there is nothing to insert yet.";
  if (!allowed.includes(topType as NodeType)) {
    const kind = TYPE_NAMES[topType as NodeType]?.toLowerCase() ?? "node";
    const takes = allowed.map((t) => TYPE_NAMES[t].toLowerCase()).join(", ");
    return `This template starts with ${kind} nodes, but this place takes only: ${takes}.`;
  }
  return null;
}

/** Grafts the top-level nodes of a template below the selected node. */
export function InsertTemplateDialog({ dst, dstLabel, allowedTypes, catalog, onInsert, onClose }: Props) {
  const templates = useTemplates();
  const [templateId, setTemplateId] = useState(0);
  const [chosen, setChosen] = useState<string[]>([]);
  const [error, setError] = useState<unknown>(null);
  const [busy, setBusy] = useState(false);
  const template = useQuery({
    queryKey: keys.tree(2, templateId),
    queryFn: () => getTree(2, templateId),
    enabled: templateId > 0,
  });
  const candidates = useQuery({
    queryKey: ["visibilitiesToAdd", 2, templateId, 0, dst.treeType, dst.id, dst.nodeId],
    queryFn: () => getVisibilitiesToAdd({ treeType: 2, id: templateId, nodeId: 0 }, dst),
    enabled: templateId > 0,
  });
  const options = (templates.data ?? []).filter((t) => t.tree && !(dst.treeType === 2 && t.id === dst.id));
  const mismatch = template.data ? templateMismatch(template.data.topType, allowedTypes) : null;
  const toAdd = parseList(candidates.data);

  async function insert() {
    setBusy(true);
    setError(null);
    try {
      await onInsert(templateId, formatList(chosen));
      onClose();
    } catch (e) {
      setError(e);
    } finally {
      setBusy(false);
    }
  }

  return (
    <Modal title={`Insert a template below ${dstLabel}`} onClose={onClose}>
      {options.length === 0 && templates.data ? (
        <p>There is no template with a tree yet. Create one on the home page first.</p>
      ) : (
        <div className="form-grid">
          <label htmlFor="insert-template">Template</label>
          <select
            id="insert-template"
            value={templateId}
            onChange={(e) => {
              setTemplateId(Number(e.target.value));
              setChosen([]);
            }}
          >
            <option value={0}>Choose a template…</option>
            {options.map((t) => (
              <option key={t.id} value={t.id}>
                {t.name}
              </option>
            ))}
          </select>
        </div>
      )}
      <ErrorNotice error={template.error ?? candidates.error} />
      {templateId > 0 && template.data ? (
        mismatch ? (
          <p role="alert">{mismatch}</p>
        ) : (
          <>
            <p>
              Its {template.data.nodeCount - 1} nodes are copied below {dstLabel}. Later changes to the template do not
              change the copy.
            </p>
            {toAdd.length > 0 ? (
              <VisibilityChecks
                legend="Also make visible to"
                catalog={catalog}
                allowed={toAdd}
                value={chosen}
                onChange={setChosen}
                idPrefix="tpl-vis"
              />
            ) : null}
          </>
        )
      ) : null}
      <ErrorNotice error={error} title="Not inserted." />
      <div className="dialog-actions">
        <button type="button" onClick={onClose}>
          Cancel
        </button>
        <button
          type="button"
          className="primary"
          disabled={busy || !templateId || !template.data || !!mismatch || !candidates.data}
          onClick={() => void insert()}
        >
          Insert template
        </button>
      </div>
    </Modal>
  );
}
